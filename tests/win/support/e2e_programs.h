#pragma once
// The programs and files around the end-to-end tests of the broker and the
// enclave management: copies of the reference client made for one test,
// the sample enclave installed under the test process's %ProgramFiles%, its
// reports, request tokens, and the access lists of the files the service
// writes.

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/process.h"

namespace bv::test {

// Generous for one client run under Wine on a loaded machine; the replies
// under test come within a second.
inline constexpr DWORD client_timeout_ms = 60000;

// A copy of a program of the build, made for one test under a name of the
// test's choice, in a folder of its own that goes with the copy.
class ProgramCopy {
 public:
  // `source` is relative to the build folder (L"signed\\companion-app.exe").
  // Every run gets `leading_arguments` before the arguments it is given.
  ProgramCopy(std::wstring_view source, std::wstring_view name, std::vector<std::wstring> leading_arguments = {});
  const std::wstring& path() const { return path_; }
  std::wstring command_line(const std::vector<std::wstring>& arguments) const;
  // Runs the copy with `arguments` and waits for it.
  RunResult run(const std::vector<std::wstring>& arguments, DWORD timeout_ms = client_timeout_ms) const;
  // Starts the copy; the caller waits.
  std::unique_ptr<ChildProcess> start(const std::vector<std::wstring>& arguments) const;

 private:
  TempDirectory directory_;
  std::wstring path_;
  std::vector<std::wstring> leading_arguments_;
};

// The leading arguments of a reference client that talks to the in-process
// pipe server (e2e_server.h): that server is this test program, not the
// installed service, so the client's server check would refuse it.
std::vector<std::wstring> in_process_server_client();

// The reference client, test-signed, as companion-app.exe, as a client of
// the in-process pipe server.
ProgramCopy signed_companion();
// The reference client without a signature, as companion-app.exe, as a
// client of the in-process pipe server.
ProgramCopy unsigned_companion();

// The string form of the user SID of this process's token; the clients
// that the tests start run as this user.
std::string own_user_sid();

// A pipe token no other request of this run uses: 32 upper- and lower-case
// hexadecimal digits (the service keeps the case).
std::string new_pipe_token();

// The sample enclave (or `program` of the build) copied to vault-enclave.exe
// in a folder "%ProgramFiles%\Brisvander Test {unique}", where the service's
// location check accepts it. It writes its reports beside itself. The folder
// is removed at the end, after every process that still runs from it has
// been terminated.
class InstalledEnclave {
 public:
  explicit InstalledEnclave(std::wstring_view program = L"vault-enclave.exe");
  InstalledEnclave(const InstalledEnclave&) = delete;
  InstalledEnclave& operator=(const InstalledEnclave&) = delete;
  ~InstalledEnclave();

  const std::wstring& path() const { return path_; }
  std::wstring report_path(std::string_view pipe_token) const;
  // The report of the enclave started for `pipe_token` once it holds the
  // line `key=...` (checking every 20 ms); nothing after `timeout_ms`.
  std::optional<std::map<std::string, std::string>> wait_for_report(std::string_view pipe_token, std::string_view key,
                                                                    DWORD timeout_ms) const;

 private:
  std::wstring directory_;
  std::wstring path_;
};

// A value set in HKCU\Environment for as long as the object lives (and
// removed, or given back its earlier value, afterwards). The environment
// block that the service makes for the enclave's account is built from the
// registry, so this is how a variable reaches an enclave.
class UserEnvironmentValue {
 public:
  UserEnvironmentValue(std::wstring name, const std::wstring& value);
  UserEnvironmentValue(const UserEnvironmentValue&) = delete;
  UserEnvironmentValue& operator=(const UserEnvironmentValue&) = delete;
  ~UserEnvironmentValue();

 private:
  std::wstring name_;
  std::optional<std::wstring> previous_;
};

// One entry of a discretionary access list.
struct AccessEntry {
  BYTE type = 0;  // ACCESS_ALLOWED_ACE_TYPE, ACCESS_DENIED_ACE_TYPE, ...
  BYTE flags = 0;
  ACCESS_MASK mask = 0;
  std::string sid;  // S-1-...
};

struct FileAccessList {
  bool has_dacl = false;
  bool is_protected = false;  // SE_DACL_PROTECTED
  std::vector<AccessEntry> entries;
  std::string sddl;  // the DACL as SDDL text, for messages
};

// The DACL of a file as GetNamedSecurityInfoW reports it; throws when the
// file's security cannot be read.
FileAccessList read_file_access_list(const std::wstring& path);
// Whether a file created with a protected DACL reads back as protected.
// Windows keeps the flag; Wine 8 drops it (the entries themselves stay), so
// there the protection of the service's file cannot be observed.
bool file_dacl_protection_is_kept();

}  // namespace bv::test
