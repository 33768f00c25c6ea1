#include "soak/enclave_tracker.h"

#include <windows.h>
// After <windows.h>, which defines the types it uses.
#include <tlhelp32.h>

#include <cstdlib>
#include <cwchar>
#include <map>
#include <optional>
#include <utility>

#include "support/enclave_report.h"

namespace bv::soak {
namespace {

constexpr std::wstring_view enclave_image = L"vault-enclave.exe";
// How long an enclave may take to write its report once "OK" came back, and
// a stopped one to be gone once the next reply came back.
constexpr DWORD report_timeout_ms = 15000;
constexpr DWORD stopped_timeout_ms = 3000;
constexpr DWORD report_poll_ms = 10;
// The last line of a report that the enclave writes once it has read the
// secret and opened its event.
constexpr std::string_view complete_report_key = "shutdown";

// The report of the enclave started for `token` once it is complete.
std::optional<std::map<std::string, std::string>> wait_for_report(const std::wstring& folder, std::string_view token,
                                                                  DWORD timeout_ms = report_timeout_ms) {
  return test::wait_for_enclave_report(folder, token, complete_report_key, timeout_ms, report_poll_ms);
}

// What the enclave must have read from its standard input: the secret, in
// lower case, and its line feed, as hex.
std::string expected_stdin_hex(const std::string& secret) {
  std::string lower = secret;
  for (char& c : lower) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
  }
  return test::to_hex(lower + "\n");
}

}  // namespace

std::vector<DWORD> running_enclaves() {
  std::vector<DWORD> ids;
  test::UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return ids;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
    if (_wcsicmp(entry.szExeFile, enclave_image.data()) == 0) ids.push_back(entry.th32ProcessID);
  }
  return ids;
}

std::string id_list(const std::vector<DWORD>& ids) {
  std::string text;
  for (const DWORD id : ids) {
    if (!text.empty()) text.push_back(' ');
    text += std::to_string(id);
  }
  return text.empty() ? "none" : text;
}

EnclaveTracker::EnclaveTracker(Tally& tally, std::wstring report_folder)
    : tally_(tally), report_folder_(std::move(report_folder)) {}

std::optional<DWORD> EnclaveTracker::reported_process_id(std::string_view token) const {
  auto report = wait_for_report(report_folder_, token, 0);
  if (!report) return std::nullopt;
  return static_cast<DWORD>(std::strtoul((*report)["pid"].c_str(), nullptr, 10));
}

std::wstring EnclaveTracker::report_path(std::string_view token) const {
  return test::enclave_report_path(report_folder_, token);
}

void EnclaveTracker::started(const Request& request, DWORD process_id, std::string_view context) {
  expect_previous_stopped(context);
  const auto report = wait_for_report(report_folder_, request.token);
  if (!report) {
    tally_.fail(std::string(context) + ": no report from the enclave for token " + request.token + " (OK " +
                std::to_string(process_id) + ")");
  } else {
    const auto value = [&](const char* key) {
      const auto found = report->find(key);
      return found == report->end() ? std::string("(none)") : found->second;
    };
    if (value("pid") != std::to_string(process_id) || value("pipe_token") != request.token ||
        value("stdin_hex") != expected_stdin_hex(request.secret) || value("service_verified") != "yes") {
      tally_.fail(std::string(context) + ": the enclave of token " + request.token + " reports pid " + value("pid") +
                  ", token " + value("pipe_token") + ", stdin " + value("stdin_hex") + "; the reply was OK " +
                  std::to_string(process_id));
    } else {
      tally_.enclave_verified();
    }
  }
  current_.reset(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id));
  current_id_ = process_id;
  known_ = true;
  if (!current_) {
    tally_.fail(std::string(context) + ": enclave " + std::to_string(process_id) + " cannot be opened: error " +
                std::to_string(GetLastError()));
  }
  expect_running({process_id}, context);
}

void EnclaveTracker::stopped_without_start(std::string_view context) {
  expect_previous_stopped(context);
  current_.reset();
  current_id_ = 0;
  known_ = true;
  expect_running({}, context);
}

void EnclaveTracker::left_alone(std::string_view context) {
  if (!known_) return;
  if (current_ && WaitForSingleObject(current_.get(), 0) == WAIT_OBJECT_0) {
    tally_.fail(std::string(context) + ": enclave " + std::to_string(current_id_) +
                " ended although the request was not served");
  }
  expect_running(current_ ? std::vector<DWORD>{current_id_} : std::vector<DWORD>{}, context);
}

void EnclaveTracker::resynchronise(std::string_view context) {
  current_.reset();
  current_id_ = 0;
  const auto running = running_enclaves();
  if (running.size() > 1) {
    tally_.fail(std::string(context) + ": " + std::to_string(running.size()) +
                " enclaves run at once: " + id_list(running));
  } else {
    tally_.passed_check();
  }
  if (running.size() == 1) {
    current_.reset(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, running[0]));
    current_id_ = running[0];
  }
  known_ = running.size() <= 1;
}

void EnclaveTracker::check_report(const Request& request, DWORD process_id, const std::string& context) {
  auto report = wait_for_report(report_folder_, request.token);
  if (!report) {
    tally_.fail(context + ": no report for token " + request.token);
  } else if ((*report)["pid"] != std::to_string(process_id) || (*report)["pipe_token"] != request.token ||
             (*report)["stdin_hex"] != expected_stdin_hex(request.secret)) {
    tally_.fail(context + ": the report of token " + request.token + " names pid " + (*report)["pid"] + " and token " +
                (*report)["pipe_token"] + "; expected pid " + std::to_string(process_id));
  } else {
    tally_.enclave_verified();
  }
}

void EnclaveTracker::expect_previous_stopped(std::string_view context) {
  if (!current_) return;
  const DWORD wait = WaitForSingleObject(current_.get(), stopped_timeout_ms);
  DWORD exit_code = 0;
  GetExitCodeProcess(current_.get(), &exit_code);
  if (wait != WAIT_OBJECT_0) {
    tally_.fail(std::string(context) + ": the previous enclave " + std::to_string(current_id_) +
                " still runs after the next verified request");
  } else if (exit_code != 0 && exit_code != 1) {
    tally_.fail(std::string(context) + ": the previous enclave " + std::to_string(current_id_) +
                " ended with exit code " + std::to_string(exit_code) + " (0 or 1 expected)");
  } else {
    tally_.enclave_stopped(exit_code);
  }
  current_.reset();
}

void EnclaveTracker::expect_running(const std::vector<DWORD>& expected, std::string_view context) {
  const auto running = running_enclaves();
  if (running != expected) {
    tally_.fail(std::string(context) + ": enclaves running: " + id_list(running) + "; expected: " + id_list(expected));
  } else {
    tally_.passed_check();
  }
}

}  // namespace bv::soak
