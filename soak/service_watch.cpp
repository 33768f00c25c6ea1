#include "soak/service_watch.h"

// After <windows.h>, which defines the types it uses.
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace bv::soak {
namespace {

// The number of handles that process `process_id` holds, counted in the
// system's handle table (NtQuerySystemInformation, SystemHandleInformation).
// Wine answers GetProcessHandleCount on another process with 0, but keeps
// this table for every process of the prefix.
std::optional<DWORD> handles_in_system_table(DWORD process_id) {
  struct Entry {
    ULONG owner;
    BYTE object_type;
    BYTE flags;
    USHORT value;
    PVOID object;
    ACCESS_MASK access;
  };
  struct Table {
    ULONG count;
    Entry entries[1];
  };
  constexpr ULONG system_handle_information = 16;
  constexpr LONG status_info_length_mismatch = static_cast<LONG>(0xC0000004);
  using Query = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
  const FARPROC address = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation");
  if (address == nullptr) return std::nullopt;
  const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(address));
  std::vector<Entry> buffer(1 << 16);
  for (;;) {
    ULONG needed = 0;
    const ULONG size = static_cast<ULONG>(buffer.size() * sizeof(Entry));
    const LONG status = query(system_handle_information, buffer.data(), size, &needed);
    if (status == status_info_length_mismatch) {
      buffer.resize(std::max<std::size_t>(buffer.size() * 2, needed / sizeof(Entry) + 1024));
      continue;
    }
    if (status != 0) return std::nullopt;
    break;
  }
  const auto* table = reinterpret_cast<const Table*>(buffer.data());
  DWORD count = 0;
  for (ULONG i = 0; i < table->count; ++i) {
    if (table->entries[i].owner == process_id) ++count;
  }
  return count;
}

// A "Name:  value kB" line of /proc/{pid}/status of the Linux process that
// runs a program under Wine, in bytes.
std::optional<SIZE_T> linux_status_bytes(DWORD unix_process_id, std::string_view name) {
  const auto text = test::read_file(L"Z:\\proc\\" + std::to_wstring(unix_process_id) + L"\\status");
  if (!text) return std::nullopt;
  std::string key = "\n";
  key.append(name).push_back(':');
  const std::size_t at = text->find(key);
  if (at == std::string::npos) return std::nullopt;
  return static_cast<SIZE_T>(std::strtoull(text->c_str() + at + key.size(), nullptr, 10)) * 1024;
}

// The Linux process that runs this program under Wine: the one whose
// command line names this executable. Z:\\proc\\self is no help: Wine opens
// such paths in its server process. Nothing when there is not exactly one.
std::optional<DWORD> own_unix_process_id() {
  const std::wstring path = test::own_path();
  std::string name = test::to_utf8(path.substr(path.find_last_of(L"\\/") + 1));
  std::vector<DWORD> found;
  WIN32_FIND_DATAW entry;
  const HANDLE search = FindFirstFileW(L"Z:\\proc\\*", &entry);
  if (search == INVALID_HANDLE_VALUE) return std::nullopt;
  do {
    const std::wstring_view entry_name = entry.cFileName;
    if (entry_name.empty() || entry_name.find_first_not_of(L"0123456789") != std::wstring_view::npos) continue;
    const auto command_line = test::read_file(L"Z:\\proc\\" + std::wstring(entry_name) + L"\\cmdline");
    if (command_line && command_line->find(name) != std::string::npos) {
      found.push_back(static_cast<DWORD>(std::wcstoul(entry.cFileName, nullptr, 10)));
    }
  } while (FindNextFileW(search, &entry));
  FindClose(search);
  if (found.size() != 1) return std::nullopt;
  return found[0];
}

}  // namespace

ServiceWatch::ServiceWatch(DWORD unix_process_id)
    : unix_process_id_(unix_process_id), service_(test::open_service(SERVICE_QUERY_STATUS)) {
  if (!service_) test::fail("OpenServiceW", GetLastError());
  const SERVICE_STATUS_PROCESS status = test::query_status(service_.get());
  if (status.dwCurrentState != SERVICE_RUNNING) {
    throw std::runtime_error("the service is not running (state " + std::to_string(status.dwCurrentState) + ")");
  }
  process_id_ = status.dwProcessId;
  process_.reset(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE, FALSE, process_id_));
  if (!process_) throw std::runtime_error("OpenProcess on the service failed: error " + std::to_string(GetLastError()));
}

bool ServiceWatch::same_process_running() const {
  SERVICE_STATUS_PROCESS status{};
  try {
    status = test::query_status(service_.get());
  } catch (const test::CallFailed&) {
    return false;  // a service the manager no longer reports is not running
  }
  return status.dwCurrentState == SERVICE_RUNNING && status.dwProcessId == process_id_ &&
         WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT;
}

Usage ServiceWatch::usage() const {
  Usage usage;
  if (!GetProcessHandleCount(process_.get(), &usage.handles)) {
    throw std::runtime_error("GetProcessHandleCount failed: error " + std::to_string(GetLastError()));
  }
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(process_.get(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters)) {
    throw std::runtime_error("GetProcessMemoryInfo failed: error " + std::to_string(GetLastError()));
  }
  usage.private_bytes = counters.PrivateUsage;
  usage.working_set = counters.WorkingSetSize;
  if (usage.handles == 0) {
    if (const auto counted = handles_in_system_table(process_id_)) {
      usage.handles = *counted;
      usage.handles_source = "the system handle table";
    }
  }
  if (usage.private_bytes == 0 && unix_process_id_ != 0) {
    if (const auto anonymous = linux_status_bytes(unix_process_id_, "RssAnon")) {
      usage.private_bytes = *anonymous;
      usage.private_source = "RssAnon of the Linux process";
    }
  }
  return usage;
}

void check_stand_ins(Tally& tally, const Usage& usage) {
  // Handles made by this process show up in the system handle table, and
  // memory it commits and touches shows up in its own RssAnon.
  constexpr std::size_t extra_handles = 64;
  constexpr SIZE_T extra_bytes = 8 << 20;
  if (usage.handles_source != std::string_view("GetProcessHandleCount")) {
    const auto before = handles_in_system_table(GetCurrentProcessId());
    std::vector<test::UniqueHandle> events;
    for (std::size_t i = 0; i < extra_handles; ++i) events.emplace_back(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const auto during = handles_in_system_table(GetCurrentProcessId());
    if (!before || !during || *during < *before + extra_handles) {
      tally.fail("the system handle table did not show " + std::to_string(extra_handles) + " new handles of the soak");
    } else {
      tally.passed_check();
    }
    std::printf("  stand-in check: %zu new handles of the soak raised its count in the table from %lu to %lu\n",
                extra_handles, before.value_or(0), during.value_or(0));
  }
  if (usage.private_source != std::string_view("PrivateUsage")) {
    const auto own_process = own_unix_process_id();
    if (!own_process) {
      std::printf("  stand-in check of RssAnon skipped: the soak's own Linux process was not found\n");
    } else {
      const SIZE_T before = linux_status_bytes(*own_process, "RssAnon").value_or(0);
      auto* block = static_cast<char*>(VirtualAlloc(nullptr, extra_bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
      if (block != nullptr) {
        for (SIZE_T i = 0; i < extra_bytes; i += 4096) block[i] = 1;
      }
      const SIZE_T during = linux_status_bytes(*own_process, "RssAnon").value_or(0);
      if (block != nullptr) VirtualFree(block, 0, MEM_RELEASE);
      if (before == 0 || during < before + extra_bytes) {
        tally.fail("RssAnon did not show the " + std::to_string(extra_bytes) + " bytes the soak committed and touched");
      } else {
        tally.passed_check();
      }
      std::printf("  stand-in check: %zu bytes committed and touched by the soak raised its RssAnon from %zu to %zu\n",
                  static_cast<std::size_t>(extra_bytes), before, during);
    }
  }
  std::fflush(stdout);
}

}  // namespace bv::soak
