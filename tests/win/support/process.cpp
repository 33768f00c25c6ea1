#include "support/process.h"

#include <atomic>
#include <cstdio>
#include <cwctype>
#include <memory>

namespace bv::test {
namespace {

std::wstring temp_path() {
  std::wstring path = temp_path_with_separator();
  if (path.back() == L'\\') path.pop_back();
  return path;
}

bool same_name(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::towupper(a[i]) != std::towupper(b[i])) return false;
  }
  return true;
}

// This process's environment with `changes` applied, as a block for
// CreateProcessW (CREATE_UNICODE_ENVIRONMENT).
std::wstring environment_block(const std::vector<std::pair<std::wstring, std::wstring>>& changes) {
  std::vector<std::wstring> entries;
  if (wchar_t* strings = GetEnvironmentStringsW()) {
    for (const wchar_t* entry = strings; *entry != L'\0'; entry += std::wcslen(entry) + 1) entries.emplace_back(entry);
    FreeEnvironmentStringsW(strings);
  }
  for (const auto& [name, value] : changes) {
    std::erase_if(entries, [&name](const std::wstring& entry) {
      // Entries such as "=C:=C:\" start with '='; their name is not empty.
      const std::size_t equals = entry.find(L'=', 1);
      return same_name(std::wstring_view(entry).substr(0, equals), name);
    });
    if (!value.empty()) entries.push_back(name + L"=" + value);
  }
  std::wstring block;
  for (const std::wstring& entry : entries) block.append(entry).push_back(L'\0');
  block.push_back(L'\0');
  return block;
}

UniqueFile capture_file(const std::wstring& path) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inheritable, CREATE_NEW,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
  if (!file) fail("CreateFileW", GetLastError());
  return file;
}

UniqueFile open_nul(DWORD access, SECURITY_ATTRIBUTES& inheritable) {
  UniqueFile nul(
      CreateFileW(L"NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING, 0, nullptr));
  if (!nul) fail("CreateFileW(NUL)", GetLastError());
  return nul;
}

// An anonymous pipe whose both ends are inheritable; the caller makes its
// own end non-inheritable.
void make_pipe(SECURITY_ATTRIBUTES& inheritable, UniqueFile& read_end, UniqueFile& write_end) {
  HANDLE read_handle = nullptr;
  HANDLE write_handle = nullptr;
  if (!CreatePipe(&read_handle, &write_handle, &inheritable, 0)) fail("CreatePipe", GetLastError());
  read_end.reset(read_handle);
  write_end.reset(write_handle);
}

// One start of `options`; see run() for the retry.
std::unique_ptr<ChildProcess> start_for_run(const ChildOptions& options) {
  try {
    return std::make_unique<ChildProcess>(options);
  } catch (const CallFailed& failure) {
    if (failure.call() != "CreateProcessW" || failure.error() != ERROR_INTERNAL_ERROR) throw;
    std::printf("[   NOTE   ] %s (%s); starting it again\n", failure.what(), to_utf8(options.command_line).c_str());
  }
  return std::make_unique<ChildProcess>(options);
}

}  // namespace

CallFailed::CallFailed(std::string_view call, DWORD error)
    : std::runtime_error(std::string(call) + " failed: error " + std::to_string(error)), call_(call), error_(error) {}

void fail(std::string_view call, DWORD error) {
  throw CallFailed(call, error);
}

void remove_tree(const std::wstring& path) {
  WIN32_FIND_DATAW entry;
  const HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &entry);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring_view name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring child = path + L"\\" + entry.cFileName;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        remove_tree(child);
      else
        DeleteFileW(child.c_str());
    } while (FindNextFileW(search, &entry));
    FindClose(search);
  }
  RemoveDirectoryW(path.c_str());
}

bool running_under_wine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::wstring program_files() {
  const std::optional<std::wstring> value = environment_variable(L"ProgramFiles");
  if (!value || value->empty()) throw std::runtime_error("ProgramFiles is not set");
  return *value;
}

std::wstring temp_path_with_separator() {
  wchar_t buffer[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
  if (length == 0 || length > MAX_PATH) fail("GetTempPathW", GetLastError());
  return std::wstring(buffer, length);
}

std::wstring own_path() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) fail("GetModuleFileNameW", GetLastError());
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

std::wstring folder_of(std::wstring_view path) {
  const std::size_t separator = path.find_last_of(L"\\/");
  return separator == std::wstring_view::npos ? L"." : std::wstring(path.substr(0, separator));
}

std::wstring build_directory() {
  return folder_of(own_path());
}

std::wstring build_file(std::wstring_view relative_path) {
  return build_directory() + L"\\" + std::wstring(relative_path);
}

std::wstring unique_name(std::wstring_view prefix) {
  static std::atomic<unsigned> counter{0};
  return std::wstring(prefix) + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
}

std::wstring quote_argument(std::wstring_view argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring_view::npos) {
    return std::wstring(argument);
  }
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    // Backslashes are literal unless a double quote follows them.
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted.push_back(c);
  }
  quoted.append(backslashes * 2, L'\\');
  quoted.push_back(L'"');
  return quoted;
}

std::wstring command_line(std::wstring_view program, const std::vector<std::wstring>& arguments) {
  std::wstring line = quote_argument(program);
  for (const std::wstring& argument : arguments) line.append(L" ").append(quote_argument(argument));
  return line;
}

TempDirectory::TempDirectory() : path_(temp_path() + L"\\" + unique_name(L"bv-test-")) {
  if (!CreateDirectoryW(path_.c_str(), nullptr)) fail("CreateDirectoryW", GetLastError());
}

TempDirectory::~TempDirectory() {
  remove_tree(path_);
}

std::optional<std::string> read_file(const std::wstring& path) {
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return std::nullopt;
  std::string content;
  char buffer[4096];
  DWORD done = 0;
  while (ReadFile(file.get(), buffer, sizeof buffer, &done, nullptr) && done > 0) content.append(buffer, done);
  return content;
}

std::optional<std::string> wait_for_file(const std::wstring& path, DWORD timeout_ms) {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  for (;;) {
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return read_file(path);
    if (GetTickCount64() >= deadline) return std::nullopt;
    Sleep(20);
  }
}

bool write_file(const std::wstring& path, std::string_view bytes) {
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  DWORD done = 0;
  return WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr) && done == bytes.size();
}

std::map<std::string, std::string> parse_report(const std::string& text) {
  std::map<std::string, std::string> fields;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    const std::string line = text.substr(start, end - start);
    const std::size_t equals = line.find('=');
    if (equals != std::string::npos) fields[line.substr(0, equals)] = line.substr(equals + 1);
    start = end == std::string::npos ? text.size() : end + 1;
  }
  return fields;
}

std::optional<std::string> report_value(const std::string& report, std::string_view key) {
  const std::string prefix = std::string(key) + "=";
  std::size_t start = 0;
  while (start < report.size()) {
    std::size_t end = report.find('\n', start);
    if (end == std::string::npos) end = report.size();
    const std::string_view line(report.data() + start, end - start);
    if (line.starts_with(prefix)) return std::string(line.substr(prefix.size()));
    start = end + 1;
  }
  return std::nullopt;
}

std::wstring image_name(HANDLE process) {
  wchar_t buffer[1024];
  DWORD size = 1024;
  if (!QueryFullProcessImageNameW(process, 0, buffer, &size)) return {};
  return std::wstring(buffer, size);
}

UniqueHandle open_for_exit_code(DWORD process_id) {
  UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, process_id));
  if (!process) fail("OpenProcess", GetLastError());
  return process;
}

std::optional<DWORD> wait_for_exit(HANDLE process, DWORD timeout_ms) {
  if (WaitForSingleObject(process, timeout_ms) != WAIT_OBJECT_0) return std::nullopt;
  DWORD code = 0;
  if (!GetExitCodeProcess(process, &code)) fail("GetExitCodeProcess", GetLastError());
  return code;
}

ChildProcess::ChildProcess(ChildOptions options) {
  ChildEnds ends = connect_streams(options);
  PROCESS_INFORMATION created = start_process(options, ends);
  process_.reset(created.hProcess);
  process_id_ = created.dwProcessId;
  UniqueHandle thread(created.hThread);
  thread.reset();
  // The child has its own copies of its ends now.
  ends.input.reset();
  ends.output.reset();
  // The capture files stay open here (they are deleted on their close), but
  // no later child is to inherit them.
  if (output_) SetHandleInformation(output_.get(), HANDLE_FLAG_INHERIT, 0);
  if (error_) SetHandleInformation(error_.get(), HANDLE_FLAG_INHERIT, 0);
  feed_input(options);
}

ChildProcess::ChildEnds ChildProcess::connect_streams(const ChildOptions& options) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  ChildEnds ends;
  if (options.streams == ChildStreams::discarded) {
    ends.input = open_nul(GENERIC_READ, inheritable);
    ends.output = open_nul(GENERIC_WRITE, inheritable);
    return ends;
  }
  error_path_ = temp_path() + L"\\" + unique_name(L"bv-test-err-");
  error_ = capture_file(error_path_);
  if (options.streams == ChildStreams::conversation) {
    UniqueFile output_read;
    make_pipe(inheritable, output_read, ends.output);
    output_pipe_.reset(output_read.release());
    SetHandleInformation(output_pipe_.get(), HANDLE_FLAG_INHERIT, 0);
  } else {
    output_path_ = temp_path() + L"\\" + unique_name(L"bv-test-out-");
    output_ = capture_file(output_path_);
  }
  if (options.standard_input || options.streams == ChildStreams::conversation) {
    UniqueFile input_write;
    make_pipe(inheritable, ends.input, input_write);
    input_.reset(input_write.release());
    SetHandleInformation(input_.get(), HANDLE_FLAG_INHERIT, 0);
  } else {
    ends.input = open_nul(GENERIC_READ, inheritable);
  }
  return ends;
}

PROCESS_INFORMATION ChildProcess::start_process(const ChildOptions& options, const ChildEnds& ends) const {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = ends.input.get();
  startup.hStdOutput = output_ ? output_.get() : ends.output.get();
  startup.hStdError = error_ ? error_.get() : ends.output.get();
  std::wstring line = options.command_line;
  std::wstring environment;
  DWORD flags = 0;
  if (!options.environment.empty()) {
    environment = environment_block(options.environment);
    flags |= CREATE_UNICODE_ENVIRONMENT;
  }
  PROCESS_INFORMATION created{};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, flags,
                      environment.empty() ? nullptr : environment.data(), nullptr, &startup, &created)) {
    fail("CreateProcessW", GetLastError());
  }
  return created;
}

void ChildProcess::feed_input(const ChildOptions& options) {
  if (!input_) return;
  if (options.standard_input && !options.standard_input->empty()) {
    const std::string& bytes = *options.standard_input;
    DWORD written = 0;
    if (!WriteFile(input_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
      fail("WriteFile(standard input)", GetLastError());
    }
  }
  // Only a conversation goes on; otherwise the child reads its end of file.
  if (options.streams != ChildStreams::conversation) input_.reset();
}

ChildProcess::~ChildProcess() {
  if (running()) terminate();
}

std::optional<DWORD> ChildProcess::wait(DWORD timeout_ms) {
  return wait_for_exit(process_.get(), timeout_ms);
}

bool ChildProcess::running() const {
  return WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT;
}

void ChildProcess::terminate() {
  TerminateProcess(process_.get(), 1);
  WaitForSingleObject(process_.get(), 10000);
}

std::string ChildProcess::standard_output() const {
  if (output_path_.empty()) return {};
  return read_file(output_path_).value_or("");
}

std::string ChildProcess::standard_error() const {
  if (error_path_.empty()) return {};
  return read_file(error_path_).value_or("");
}

RunResult run(ChildOptions options, DWORD timeout_ms) {
  const ULONGLONG start = GetTickCount64();
  const std::unique_ptr<ChildProcess> child = start_for_run(options);
  RunResult result;
  result.exit_code = child->wait(timeout_ms);
  if (!result.exit_code) child->terminate();
  result.elapsed_ms = static_cast<DWORD>(GetTickCount64() - start);
  result.standard_output = child->standard_output();
  result.standard_error = child->standard_error();
  return result;
}

}  // namespace bv::test
