// vault-enclave.exe: a sample enclave for the tests and the demonstration.
//
// It keeps no secret and serves nothing. It records what the service handed
// it, so that a test can compare that with what the service was asked to
// do, and then lives until its shutdown event is set, as a real enclave
// would.
//
// The report, "bv-enclave-{token}.txt" ("bv-enclave-no-token.txt" without
// --pipe-token), is UTF-8 text of "key=value" lines, each ended by a line
// feed; a control character inside a value is written as "%" and two hex
// digits. It is written whole under a temporary name and then renamed, so a
// reader sees either no report or a complete one:
//   pid=                 this process's identifier
//   command_line=        GetCommandLineW, as the process got it
//   pipe_token= pipe_allow_sid= shutdown_event= ipc_secret_file=
//                        the option values (a line only for a given option)
//   service_verified=    "yes" or "no"
//   stdin_hex=           standard input up to its end, as lowercase hex
//   stdin=               "none" (no handle), "console" (not read) or
//                        "error {code}" (a read failed after stdin_hex)
//   secret_file_hex=     the hand-over file's content, as lowercase hex,
//   secret_file_error=   or the error code of opening or reading it
//   env.{NAME}=          USERNAME, USERPROFILE, APPDATA, LOCALAPPDATA,
//                        TEMP and ProgramFiles, when set
//   shutdown=            "waiting" (the event is open), "no-event",
//                        "open-failed {code}", "ignored" or "exit-at-once"
//   ended=               added when it ends on its own: "event-set" or
//                        "timeout"
//
// Environment variables it honours. An enclave that the service starts gets
// the environment block made for the isolation account (CreateEnvironmentBlock
// without inheritance: the account's registry variables, HKCU\Environment
// among them), not the service's environment, so a test sets them there; only
// when no block can be made does the service's own environment come through.
// Seen under Wine with the test build's logon: the block is made, and a
// variable set in the service's process does not reach the enclave.
//   BV_ENCLAVE_REPORT_DIR=dir   where the report goes (default: the
//                               directory of this executable)
//   BV_ENCLAVE_IGNORE_SHUTDOWN=1  like --ignore-shutdown
//   BV_ENCLAVE_EXIT_AT_ONCE=1   exit 0 right after writing the report
// --ignore-shutdown, which the service never passes, makes it ignore the
// event and sleep until it is terminated. Without an event (no name, or the
// open failed) it sleeps 60 s and exits 0.
//
// It reads standard input, the hand-over file and the event through the
// enclave library (libs/enclave), as bv_enclave_begin does, but records
// what it finds instead of refusing a hand-over that is out of form, and
// leaves the hand-over file where it is: the tests of the service read it
// after the enclave has started.

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

#include "enclave/hand_over.h"
#include "enclave/win32/enclave_system_win32.h"
#include "platform/win32/program_text.h"
#include "platform/win32/unique_handle.h"
#include "secret/secret.h"

namespace {

constexpr DWORD no_event_lifetime_ms = 60000;
// Bounds on what is read from standard input and the hand-over file; a
// secret line is 65 bytes.
constexpr std::size_t max_input_bytes = 1 << 20;

using bv::enclave_side::InputRead;
using bv::enclave_side::Win32EnclaveSystem;
using bv::platform::win32::environment_variable;
using bv::platform::win32::to_hex;
using bv::platform::win32::to_utf8;
using bv::platform::win32::UniqueFile;

struct Arguments {
  std::optional<std::wstring> pipe_token;
  std::optional<std::wstring> pipe_allow_sid;
  std::optional<std::wstring> shutdown_event;
  std::optional<std::wstring> ipc_secret_file;
  bool service_verified = false;
  bool ignore_shutdown = false;
};

Arguments parse_arguments(int argc, wchar_t** argv) {
  Arguments arguments;
  for (int i = 1; i < argc; ++i) {
    const std::wstring_view name = argv[i];
    const bool has_value = i + 1 < argc;
    if (name == L"--service-verified")
      arguments.service_verified = true;
    else if (name == L"--ignore-shutdown")
      arguments.ignore_shutdown = true;
    else if (name == L"--pipe-token" && has_value)
      arguments.pipe_token = argv[++i];
    else if (name == L"--pipe-allow-sid" && has_value)
      arguments.pipe_allow_sid = argv[++i];
    else if (name == L"--shutdown-event" && has_value)
      arguments.shutdown_event = argv[++i];
    else if (name == L"--ipc-secret-file" && has_value)
      arguments.ipc_secret_file = argv[++i];
    // Anything else is ignored; the command line is in the report anyway.
  }
  return arguments;
}

bool environment_switch(const wchar_t* name) {
  return environment_variable(name) == L"1";
}

std::wstring own_directory() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return L".";
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);
  }
  const std::size_t separator = path.find_last_of(L"\\/");
  return separator == std::wstring::npos ? L"." : path.substr(0, separator);
}

// The report name carries the token; anything but letters, digits, '-' and
// '_' becomes '_', so a hand-made token cannot lead the report elsewhere.
std::wstring report_path(const Arguments& arguments) {
  std::wstring directory = environment_variable(L"BV_ENCLAVE_REPORT_DIR").value_or(L"");
  if (directory.empty()) directory = own_directory();
  std::wstring token = arguments.pipe_token.value_or(L"no-token");
  for (wchar_t& c : token) {
    const bool plain =
        (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || c == L'-' || c == L'_';
    if (!plain) c = L'_';
  }
  if (directory.back() != L'\\' && directory.back() != L'/') directory += L'\\';
  return directory + L"bv-enclave-" + token + L".txt";
}

class Report {
 public:
  void add(std::string_view key, std::string_view value) {
    text_.append(key);
    text_.push_back('=');
    for (const char c : value) {
      const auto byte = static_cast<unsigned char>(c);
      if (byte < 0x20 || byte == 0x7F) {
        static constexpr char digits[] = "0123456789ABCDEF";
        text_ += {'%', digits[byte >> 4], digits[byte & 0x0F]};
      } else {
        text_.push_back(c);
      }
    }
    text_.push_back('\n');
  }
  void add(std::string_view key, std::wstring_view value) { add(key, to_utf8(value)); }

  // Writes the whole report under a temporary name, then renames it over
  // the report, so no reader sees a partial file.
  bool write(const std::wstring& path) const {
    const std::wstring partial = path + L".partial";
    {
      UniqueFile file(
          CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
      if (!file) return false;
      DWORD written = 0;
      if (!WriteFile(file.get(), text_.data(), static_cast<DWORD>(text_.size()), &written, nullptr) ||
          written != text_.size()) {
        return false;
      }
    }
    return MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
  }

 private:
  std::string text_;
};

void record_standard_input(Win32EnclaveSystem& system, Report& report) {
  bv::SecretString bytes;
  bytes.get().reserve(max_input_bytes);
  const InputRead read = bv::enclave_side::read_standard_input(system, {.max_bytes = max_input_bytes}, bytes);
  // A console has no end; the service always hands over a pipe.
  if (read.stop == InputRead::Stop::no_input || read.stop == InputRead::Stop::console) {
    report.add("stdin", read.stop == InputRead::Stop::no_input ? "none" : "console");
    return;
  }
  report.add("stdin_hex", to_hex(bytes.get()));
  if (read.stop == InputRead::Stop::error) report.add("stdin", "error " + std::to_string(read.error));
}

void record_secret_file(Win32EnclaveSystem& system, Report& report, const std::wstring& path) {
  auto file = system.open_hand_over_file(std::u16string(path.begin(), path.end()));
  if (!file) {
    report.add("secret_file_error", std::to_string(file.error()));
    return;
  }
  bv::SecretString bytes;
  bytes.get().reserve(max_input_bytes);
  const auto read = bv::enclave_side::read_file(**file, max_input_bytes, bytes);
  file->reset();
  if (!read)
    report.add("secret_file_error", std::to_string(read.error()));
  else
    report.add("secret_file_hex", to_hex(bytes.get()));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const Arguments arguments = parse_arguments(argc, argv);
  const std::wstring path = report_path(arguments);

  Report report;
  report.add("pid", std::to_string(GetCurrentProcessId()));
  report.add("command_line", std::wstring_view{GetCommandLineW()});
  if (arguments.pipe_token) report.add("pipe_token", *arguments.pipe_token);
  if (arguments.pipe_allow_sid) report.add("pipe_allow_sid", *arguments.pipe_allow_sid);
  report.add("service_verified", arguments.service_verified ? "yes" : "no");
  if (arguments.shutdown_event) report.add("shutdown_event", *arguments.shutdown_event);
  if (arguments.ipc_secret_file) report.add("ipc_secret_file", *arguments.ipc_secret_file);
  Win32EnclaveSystem system;
  record_standard_input(system, report);
  if (arguments.ipc_secret_file) record_secret_file(system, report, *arguments.ipc_secret_file);
  for (const wchar_t* name : {L"USERNAME", L"USERPROFILE", L"APPDATA", L"LOCALAPPDATA", L"TEMP", L"ProgramFiles"}) {
    if (const std::optional<std::wstring> value = environment_variable(name)) {
      report.add("env." + to_utf8(name), *value);
    }
  }

  if (environment_switch(L"BV_ENCLAVE_EXIT_AT_ONCE")) {
    report.add("shutdown", "exit-at-once");
    return report.write(path) ? 0 : 1;
  }
  if (arguments.ignore_shutdown || environment_switch(L"BV_ENCLAVE_IGNORE_SHUTDOWN")) {
    report.add("shutdown", "ignored");
    report.write(path);
    Sleep(INFINITE);
    return 0;
  }

  // Waiting is all the enclave may do with the event: the service grants
  // the isolation account SYNCHRONIZE and nothing else.
  std::unique_ptr<bv::enclave_side::ShutdownEvent> event;
  if (arguments.shutdown_event) {
    const std::wstring& name = *arguments.shutdown_event;
    if (auto opened = system.open_shutdown_event(std::u16string(name.begin(), name.end()))) {
      event = std::move(*opened);
      report.add("shutdown", "waiting");
    } else {
      report.add("shutdown", "open-failed " + std::to_string(opened.error()));
    }
  } else {
    report.add("shutdown", "no-event");
  }
  report.write(path);

  if (!event) {
    Sleep(no_event_lifetime_ms);
    report.add("ended", "timeout");
  } else {
    WaitForSingleObject(event->native_handle(), INFINITE);
    event.reset();
    report.add("ended", "event-set");
  }
  report.write(path);
  return 0;
}
