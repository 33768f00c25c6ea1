#include "soak/relays.h"

#include <cstdlib>
#include <stdexcept>

#include "soak/exchange.h"

namespace bv::soak {
namespace {

constexpr DWORD relay_end_timeout_ms = 10000;
// How long a "before-read" client waits for the report of its enclave.
constexpr DWORD vanishing_report_timeout_ms = 15000;

bool write_line(HANDLE target, const std::string& line) {
  const std::string framed = line + "\n";
  DWORD done = 0;
  return WriteFile(target, framed.data(), static_cast<DWORD>(framed.size()), &done, nullptr) && done == framed.size();
}

std::optional<std::string> read_line(HANDLE source) {
  std::string line;
  char byte = 0;
  DWORD done = 0;
  while (ReadFile(source, &byte, 1, &done, nullptr) && done == 1) {
    if (byte == '\n') return line;
    line.push_back(byte);
  }
  return std::nullopt;
}

}  // namespace

Relay::Relay(const std::wstring& program, std::string reason)
    : child_({.command_line = test::command_line(program, {L"--relay"}), .streams = test::ChildStreams::conversation}),
      reason_(std::move(reason)) {
  if (reason_.empty()) {
    // The image path as the service reads it.
    const std::wstring image = test::image_name(child_.process());
    if (image.empty()) {
      throw std::runtime_error("QueryFullProcessImageNameW failed: error " + std::to_string(GetLastError()));
    }
    reason_ = "Caller '" + test::to_utf8(image) + "' is not companion-app.exe";
  }
}

Relay::~Relay() {
  child_.close_input();
  // Still running afterwards, it is terminated by its owner.
  static_cast<void>(child_.wait(relay_end_timeout_ms));
}

test::Received Relay::send(const Request& request) {
  test::Received received;
  if (!write_line(child_.input(), std::string(request.hang_up ? "h " : "r ") + test::to_hex(request.bytes))) {
    received.error = GetLastError();
    return received;
  }
  const auto line = read_line(child_.output());
  if (!line) {
    received.error = GetLastError();
    return received;
  }
  const std::size_t first = line->find(' ');
  const std::size_t second = line->find(' ', first + 1);
  received.outcome = static_cast<test::Outcome>(std::atoi(line->substr(0, first).c_str()));
  received.error = static_cast<DWORD>(std::strtoul(line->substr(first + 1, second - first - 1).c_str(), nullptr, 10));
  received.line = test::from_hex(line->substr(second + 1));
  return received;
}

int run_relay() {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  while (const auto line = read_line(input)) {
    if (line->size() < 2) break;
    Request request;
    request.hang_up = (*line)[0] == 'h';
    request.bytes = test::from_hex(std::string_view(*line).substr(2));
    const test::Received received = send(request);
    if (!write_line(output, std::to_string(static_cast<int>(received.outcome)) + " " + std::to_string(received.error) +
                                " " + test::to_hex(received.line))) {
      return 1;
    }
  }
  return 0;
}

std::optional<DWORD> run_vanishing_client(const std::wstring& program, std::wstring_view mode,
                                          const std::string& request_line, const std::wstring& report,
                                          DWORD timeout_ms) {
  test::ChildProcess client(
      {.command_line = test::command_line(program, {L"--vanish", std::wstring(mode), L"--line",
                                                    test::to_wide(test::to_hex(request_line)), L"--report", report})});
  const std::optional<DWORD> exit_code = client.wait(timeout_ms);
  if (!exit_code) client.terminate();
  return exit_code;
}

int run_vanishing(std::wstring_view mode, const std::string& request_line, const std::wstring& report) {
  test::Connection connection;
  if (!connection.open(60000)) return 2;
  if (mode == L"before-send") ExitProcess(0);
  if (mode == L"mid-line") {
    static_cast<void>(connection.write(request_line.substr(0, request_line.size() / 2), 10000));
    ExitProcess(0);
  }
  // before-read: the whole line, then wait until the enclave it asked for
  // has written its report (the reply is then on its way) and go.
  static_cast<void>(connection.write(request_line, 10000));
  const ULONGLONG deadline = GetTickCount64() + vanishing_report_timeout_ms;
  while (GetTickCount64() < deadline) {
    if (auto text = test::read_file(report); text && test::parse_report(*text).contains("shutdown")) ExitProcess(0);
    Sleep(5);
  }
  ExitProcess(3);
}

}  // namespace bv::soak
