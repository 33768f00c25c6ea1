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

void store_random_password() {
  HKEY key = nullptr;
  LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Brisvander", 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                   &key, nullptr);
  if (status != ERROR_SUCCESS) fail("RegCreateKeyExW", static_cast<DWORD>(status));
  const std::wstring password = to_wide(random_hex(20)) + L"aB3!";
  status = RegSetValueExW(key, L"SvcUserPwd", 0, REG_SZ, reinterpret_cast<const BYTE*>(password.c_str()),
                          static_cast<DWORD>((password.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) fail("RegSetValueExW", static_cast<DWORD>(status));
}

bool wait_listening(std::wstring_view pipe, DWORD timeout_ms) {
  // Between two connections of a bare server there is no instance at all
  // for a moment: asked again at once, so that the wait adds nothing.
  return test::wait_until_listening(timeout_ms, pipe, 0);
}

RoundTrip round_trip(std::wstring_view pipe, std::string_view line) {
  if (!wait_listening(pipe, 15000)) {
    throw BenchError("no instance of " + to_utf8(pipe) + " listened within 15 s");
  }
  const test::Received received = test::round_trip(line, {.connect_ms = 15000, .reply_ms = 60000}, pipe);
  if (received.outcome == test::Outcome::no_connect) fail("CreateFileW on the pipe", received.error);
  RoundTrip result;
  result.elapsed_us = received.total_ms * 1000.0;
  result.started_at = received.started_at;
  if (received.outcome == test::Outcome::reply) result.reply = received.line.substr(0, received.line.find('\n'));
  return result;
}

LONG verify_trust(const std::wstring& path) {
  platform::win32::Win32Trust trust;
  return static_cast<LONG>(trust.verify_file(platform::win32::from_wide(path.c_str(), path.size()),
                                             platform::trust_cache_only_url_retrieval));
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
