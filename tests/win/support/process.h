#pragma once
// Helpers for the Windows-side tests: the project's programs started as
// child processes in the test run's Wine prefix, their standard streams,
// and names and folders that no other test of the run uses. Failures of the
// helpers themselves throw CallFailed, a std::runtime_error that GoogleTest
// reports as a failure of the test that called them.

#include <windows.h>

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/win32/unique_handle.h"

namespace bv::test {

using platform::win32::UniqueFile;
using platform::win32::UniqueHandle;

// A Win32 call of a helper that failed: "{call} failed: error {error}".
class CallFailed : public std::runtime_error {
 public:
  CallFailed(std::string_view call, DWORD error);
  const std::string& call() const { return call_; }
  DWORD error() const { return error_; }

 private:
  std::string call_;
  DWORD error_;
};
[[noreturn]] void fail(std::string_view call, DWORD error);

std::string to_utf8(std::wstring_view text);
std::wstring to_wide(std::string_view text);
// Lowercase hex of `bytes`.
std::string to_hex(std::string_view bytes);

// True when the program runs under Wine (ntdll exports wine_get_version).
bool running_under_wine();

// A variable of this process's environment, or nothing when it is not set.
std::optional<std::wstring> environment_variable(const wchar_t* name);
// %ProgramFiles% of this process ("C:\Program Files" in a Wine prefix);
// throws when it is not set.
std::wstring program_files();
// GetTempPathW: the temporary folder with its final backslash.
std::wstring temp_path_with_separator();

// The folder of the running test program. The build puts the service, the
// tools and the test programs there, and the test-signed companion
// application in its "signed" subfolder.
std::wstring build_directory();
// build_directory() + "\" + relative_path.
std::wstring build_file(std::wstring_view relative_path);

// `prefix` followed by the process id and a counter: unique within the run
// (object names, pipe names, file names).
std::wstring unique_name(std::wstring_view prefix);

// One argument quoted for CreateProcessW, by the rules that the C runtime's
// and CommandLineToArgvW's parsers undo.
std::wstring quote_argument(std::wstring_view argument);
// The program path and the arguments, each quoted, separated by spaces.
std::wstring command_line(std::wstring_view program, const std::vector<std::wstring>& arguments);

// An empty folder under the prefix's temporary directory, removed with its
// files when the owner goes.
class TempDirectory {
 public:
  TempDirectory();
  TempDirectory(const TempDirectory&) = delete;
  TempDirectory& operator=(const TempDirectory&) = delete;
  ~TempDirectory();

  const std::wstring& path() const { return path_; }
  std::wstring file(std::wstring_view name) const { return path_ + L"\\" + std::wstring(name); }

 private:
  std::wstring path_;
};

// Removes `path` with everything in it, as far as it can; never throws.
void remove_tree(const std::wstring& path);

// The whole content of a file, or nothing when it cannot be opened.
std::optional<std::string> read_file(const std::wstring& path);
// Waits until `path` exists (checking every 20 ms) and returns its content.
std::optional<std::string> wait_for_file(const std::wstring& path, DWORD timeout_ms);

// The "key=value" lines of a report that a test program or stand-in wrote
// (lines without '=' are skipped).
std::map<std::string, std::string> parse_report(const std::string& text);
// The value of `key` in such a report, or nothing.
std::optional<std::string> report_value(const std::string& report, std::string_view key);

// The full image path of a process, or empty when it cannot be read.
std::wstring image_name(HANDLE process);

// A handle to a running process for waiting and reading its exit code.
UniqueHandle open_for_exit_code(DWORD process_id);
// The exit code of a process that has ended within `timeout_ms`, or nothing.
std::optional<DWORD> wait_for_exit(HANDLE process, DWORD timeout_ms);

struct ChildOptions {
  // The full command line, program first (see command_line()).
  std::wstring command_line;
  // Bytes for the child's standard input, written into a pipe whose write
  // end is then closed. Without them the child's standard input is NUL.
  std::optional<std::string> standard_input;
  // Variables set (or, with an empty value, removed) in a copy of this
  // process's environment for the child.
  std::vector<std::pair<std::wstring, std::wstring>> environment;
};

// A started child process. Its standard output and standard error go into
// files (Wine helper processes inherit pipes and hold them open for seconds,
// files have no such delay). A child still running when the owner goes is
// terminated.
class ChildProcess {
 public:
  explicit ChildProcess(ChildOptions options);
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  // The exit code, or nothing when the child still runs after `timeout_ms`.
  std::optional<DWORD> wait(DWORD timeout_ms);
  bool running() const;
  void terminate();
  DWORD process_id() const { return process_id_; }
  HANDLE process() const { return process_.get(); }
  // What the child wrote so far.
  std::string standard_output() const;
  std::string standard_error() const;

 private:
  UniqueHandle process_;
  DWORD process_id_ = 0;
  // The capture files are deleted when these handles close.
  std::wstring output_path_;
  std::wstring error_path_;
  UniqueFile output_;
  UniqueFile error_;
};

struct RunResult {
  std::optional<DWORD> exit_code;  // nothing: terminated after the time-out
  std::string standard_output;
  std::string standard_error;
  DWORD elapsed_ms = 0;
};

// Starts a child, waits for it at most `timeout_ms` (then terminates it) and
// returns what it did. Under load Wine now and then fails a process start
// with ERROR_INTERNAL_ERROR (1359): the new process ended while the loader
// was still setting it up, before the program's own code ran. Such a start
// is tried once more, with a NOTE line on standard output.
RunResult run(ChildOptions options, DWORD timeout_ms);

}  // namespace bv::test
