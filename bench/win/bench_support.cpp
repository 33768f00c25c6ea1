#include "bench_support.h"

#include <psapi.h>
#include <winternl.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>

#include "platform/win32/trust.h"
#include "platform/win32/wide.h"

namespace bv::bench {

void fail(std::string_view what, DWORD code) {
  throw BenchError(std::string(what) + " failed: error " + std::to_string(code));
}

double now_us() {
  static const double ticks_per_us = [] {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(frequency.QuadPart) / 1e6;
  }();
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) / ticks_per_us;
}

std::uint64_t system_time() {
  FILETIME time;
  GetSystemTimePreciseAsFileTime(&time);
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

ProcessTimes process_times(HANDLE process) {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) fail("GetProcessTimes");
  const auto value = [](const FILETIME& time) {
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  };
  return {value(created), value(exited)};
}

std::uint64_t last_write_time(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
}

namespace {

// Linear interpolation between the closest ranks.
double quantile(const std::vector<double>& sorted, double q) {
  if (sorted.empty()) return 0;
  const double position = q * static_cast<double>(sorted.size() - 1);
  const auto below = static_cast<std::size_t>(std::floor(position));
  const std::size_t above = std::min(below + 1, sorted.size() - 1);
  const double fraction = position - static_cast<double>(below);
  return sorted[below] + (sorted[above] - sorted[below]) * fraction;
}

}  // namespace

Summary summarize(std::vector<double> samples) {
  Summary summary;
  summary.count = samples.size();
  if (samples.empty()) return summary;
  std::sort(samples.begin(), samples.end());
  summary.median = quantile(samples, 0.5);
  summary.p10 = quantile(samples, 0.1);
  summary.p90 = quantile(samples, 0.9);
  summary.min = samples.front();
  summary.max = samples.back();
  return summary;
}

std::string format_ms(double microseconds) {
  char text[32];
  const double ms = microseconds / 1000.0;
  std::snprintf(text, sizeof text, std::fabs(ms) < 10 ? "%.2f" : "%.1f", ms);
  return text;
}

std::string format_ms(const Summary& summary) {
  return format_ms(summary.median) + " ms [" + format_ms(summary.p10) + ".." + format_ms(summary.p90) + "]";
}

std::string random_hex(std::size_t digits) {
  static std::mt19937_64 generator(static_cast<std::uint64_t>(now_us()) ^ GetCurrentProcessId());
  static constexpr char alphabet[] = "0123456789abcdefABCDEF";
  std::uniform_int_distribution<int> pick(0, sizeof alphabet - 2);
  std::string text;
  for (std::size_t i = 0; i < digits; ++i) text.push_back(alphabet[pick(generator)]);
  return text;
}

bool wait_listening(const std::wstring& pipe, DWORD timeout_ms) {
  const double deadline = now_us() + timeout_ms * 1000.0;
  for (;;) {
    if (WaitNamedPipeW(pipe.c_str(), timeout_ms)) return true;
    const DWORD error = GetLastError();
    if (now_us() >= deadline) return false;
    // No instance at all (between two connections of a server): ask again
    // at once. A busy one is waited for by WaitNamedPipeW itself.
    if (error == ERROR_FILE_NOT_FOUND) SwitchToThread();
  }
}

RoundTrip round_trip(const std::wstring& pipe, std::string_view line) {
  if (!wait_listening(pipe, 15000)) throw BenchError("no instance of " + to_utf8(pipe) + " listened within 15 s");
  RoundTrip result;
  result.started_at = system_time();
  const double started = now_us();
  File connection;
  for (;;) {
    connection.reset(CreateFileW(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (connection) break;
    const DWORD error = GetLastError();
    if (error != ERROR_PIPE_BUSY && error != ERROR_FILE_NOT_FOUND) fail("CreateFileW on the pipe", error);
    if (now_us() - started > 15e6) fail("CreateFileW on the pipe", error);
    if (error == ERROR_PIPE_BUSY) WaitNamedPipeW(pipe.c_str(), 1000);
  }
  DWORD written = 0;
  if (!WriteFile(connection.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr)) {
    fail("WriteFile of the request");
  }
  char buffer[512];
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(connection.get(), buffer, sizeof buffer, &read, nullptr) || read == 0) break;
    result.reply.append(buffer, read);
    if (result.reply.find('\n') != std::string::npos) break;
  }
  result.elapsed_us = now_us() - started;
  const std::size_t end = result.reply.find('\n');
  if (end == std::string::npos) {
    result.reply.clear();
  } else {
    result.reply.resize(end);
  }
  return result;
}

LONG verify_trust(const std::wstring& path) {
  platform::win32::Win32Trust trust;
  return static_cast<LONG>(trust.verify_file(platform::win32::from_wide(path.c_str(), path.size())));
}

std::wstring own_path() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) fail("GetModuleFileNameW");
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

std::wstring directory_of(const std::wstring& path) {
  const std::size_t separator = path.find_last_of(L"\\/");
  return separator == std::wstring::npos ? L"." : path.substr(0, separator);
}

std::wstring quote(std::wstring_view argument) {
  return L"\"" + std::wstring(argument) + L"\"";
}

Child start_child(const std::wstring& command_line, const std::wstring& output_path) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  File output(CreateFileW(output_path.empty() ? L"NUL" : output_path.c_str(), GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                          nullptr));
  if (!output) fail("CreateFileW of a child's output");
  File input(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input.get();
  startup.hStdOutput = output.get();
  startup.hStdError = output.get();
  PROCESS_INFORMATION information{};
  std::wstring writable = command_line;
  if (!CreateProcessW(nullptr, writable.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &information)) {
    fail("CreateProcessW of " + to_utf8(command_line));
  }
  CloseHandle(information.hThread);
  return Child{Handle(information.hProcess), information.dwProcessId};
}

ServiceHandle open_service(DWORD access) {
  const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) fail("OpenSCManagerW");
  ServiceHandle service(OpenServiceW(manager.get(), service_name, access));
  if (!service) fail("OpenServiceW");
  return service;
}

SERVICE_STATUS_PROCESS query_status(SC_HANDLE service) {
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                            &needed)) {
    fail("QueryServiceStatusEx");
  }
  return status;
}

MemoryFigures memory_figures(HANDLE process) {
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters)) {
    fail("GetProcessMemoryInfo");
  }
  MemoryFigures figures;
  figures.private_bytes = counters.PrivateUsage;
  figures.working_set = counters.WorkingSetSize;
  // VirtualSize is not among GetProcessMemoryInfo's counters; ntdll's
  // ProcessVmCounters (class 3) has it.
  using Query = LONG(WINAPI*)(HANDLE, ULONG, void*, ULONG, ULONG*);
  static const auto query = reinterpret_cast<Query>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
  VM_COUNTERS vm{};
  if (query != nullptr && query(process, 3, &vm, sizeof vm, nullptr) >= 0) figures.virtual_size = vm.VirtualSize;
  return figures;
}

}  // namespace bv::bench
