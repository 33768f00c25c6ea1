// enclave-standin.exe: an enclave that starts a process of its own and
// ignores its shutdown event, for the tests of what the stop of an enclave
// ends. The tests install it under the name vault-enclave.exe, where the
// service accepts it.
//
// Started by the service (any command line without --bv-grandchild), it
// starts a copy of itself with --bv-grandchild twice: first asking to leave
// its job (CREATE_BREAKAWAY_FROM_JOB), which the job's limits must refuse,
// then as an ordinary child. It never opens its shutdown event. Then it
// writes its report beside itself, "bv-enclave-{token}.txt" (the token of
// --pipe-token), as "key=value" lines, the whole file under another name
// first and then renamed, so a reader sees none or all of it:
//   pid=        this process's identifier
//   breakaway=  "refused {error}", or "started {pid}" when a child left the job
//   child_pid=  the ordinary child's identifier, or
//   child_error= the error code of its start
// and sleeps. Each copy sleeps at most ten minutes, so that nothing that a
// failed test leaves behind lives for long.

#include <windows.h>

#include <string>
#include <string_view>

#include "support/enclave_report.h"
#include "support/process.h"

namespace {

constexpr DWORD lifetime_ms = 10 * 60 * 1000;
constexpr wchar_t grandchild_option[] = L"--bv-grandchild";

// Starts this program with --bv-grandchild and `flags`; its process id, or
// the error of the start as a negative number.
long long start_copy(DWORD flags) {
  std::wstring line = bv::test::command_line(bv::test::own_path(), {grandchild_option});
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION created{};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW | flags, nullptr, nullptr,
                      &startup, &created)) {
    return -static_cast<long long>(GetLastError());
  }
  CloseHandle(created.hThread);
  CloseHandle(created.hProcess);
  return created.dwProcessId;
}

std::string pipe_token(int argc, wchar_t** argv) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::wstring_view(argv[i]) == L"--pipe-token") return bv::test::to_utf8(argv[i + 1]);
  }
  return "no-token";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc > 1 && std::wstring_view(argv[1]) == grandchild_option) {
    Sleep(lifetime_ms);
    return 0;
  }

  std::string report = "pid=" + std::to_string(GetCurrentProcessId()) + "\n";
  const long long breakaway = start_copy(CREATE_BREAKAWAY_FROM_JOB);
  report += breakaway < 0 ? "breakaway=refused " + std::to_string(-breakaway) + "\n"
                          : "breakaway=started " + std::to_string(breakaway) + "\n";
  const long long child = start_copy(0);
  report += child < 0 ? "child_error=" + std::to_string(-child) + "\n" : "child_pid=" + std::to_string(child) + "\n";

  const std::wstring path =
      bv::test::enclave_report_path(bv::test::folder_of(bv::test::own_path()), pipe_token(argc, argv));
  const std::wstring partial = path + L".partial";
  // A report that cannot be written shows as a missing report.
  if (bv::test::write_file(partial, report)) MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);

  Sleep(lifetime_ms);
  return 0;
}
