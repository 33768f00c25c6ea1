#include "companion/exchange.h"

#include <algorithm>
#include <array>
#include <memory>

#include "brisvander/companion.h"
#include "text/utf.h"

namespace bv::companion_side {

namespace {

std::string decimal(std::uint64_t value) {
  return std::to_string(value);
}

std::string failure_text(const CallFailure& failure) {
  return failure.call + " failed: error " + decimal(failure.error);
}

std::uint32_t left_until(CompanionSystem& system, std::uint64_t deadline_ms) {
  const std::uint64_t now = system.now_ms();
  return now >= deadline_ms ? 0 : static_cast<std::uint32_t>(std::min<std::uint64_t>(deadline_ms - now, 0xFFFFFFFEu));
}

ExchangeOutcome failed(int code, std::string message) {
  return ExchangeOutcome{.code = code, .message = std::move(message)};
}

// "service BrisvanderEnclaveSvc process 0 (STOPPED)", or "service ...
// unknown (OpenServiceW failed: error 1060)" when it could not be had.
std::string service_text(const std::expected<ServiceProcess, CallFailure>& service) {
  const std::string name = "service " + text::to_utf8(service_name);
  if (!service) return name + " unknown (" + failure_text(service.error()) + ")";
  return name + " process " + decimal(service->process_id) + " (" + state_name(service->state) + ")";
}

// The service's own pipe cannot appear while the service is not running:
// any instance of it then belongs to some other process. So when no
// instance exists and the Service Control Manager knows the service as not
// running, or not at all, waiting longer is pointless. The message for
// that, or nothing when the wait should go on.
std::optional<std::string> service_absent(CompanionSystem& system, const ExchangeSettings& settings,
                                          std::uint32_t open_error) {
  if (!settings.check_server || settings.pipe != service_pipe) return std::nullopt;
  const auto service = system.query_service(service_name);
  const bool unknown = !service && service.error().error == win32_error::service_does_not_exist;
  const bool not_running = service && service->state != service_state::running;
  if (!unknown && !not_running) return std::nullopt;
  return "cannot open " + text::to_utf8(settings.pipe) + ": error " + decimal(open_error) + "; " +
         service_text(service);
}

// Opens the pipe. While the server has no free instance it waits with
// WaitNamedPipeW, while there is no instance at all (between two instances,
// or before the server started) it looks again after a short sleep; any
// other failure ends the attempt.
std::expected<std::unique_ptr<PipeConnection>, ExchangeOutcome> open_pipe(CompanionSystem& system,
                                                                          const ExchangeSettings& settings) {
  const std::uint64_t deadline = system.now_ms() + settings.connect_timeout_ms;
  const std::string cannot_open = "cannot open " + text::to_utf8(settings.pipe) + ": error ";
  for (;;) {
    auto opened = system.open_pipe(settings.pipe);
    if (opened) return std::move(*opened);
    const CallFailure failure = opened.error();
    if (failure.call != "CreateFileW") return std::unexpected(failed(BV_E_SYSTEM, failure_text(failure)));
    const std::uint32_t error = failure.error;
    if (error != win32_error::pipe_busy && error != win32_error::file_not_found) {
      return std::unexpected(failed(BV_E_SYSTEM, cannot_open + decimal(error)));
    }
    if (error == win32_error::file_not_found) {
      if (auto absent = service_absent(system, settings, error)) {
        return std::unexpected(failed(BV_E_SERVICE_NOT_RUNNING, std::move(*absent)));
      }
    }
    const std::uint32_t left = left_until(system, deadline);
    if (left == 0) return std::unexpected(failed(BV_E_BUSY, cannot_open + decimal(error)));
    if (error == win32_error::pipe_busy) {
      // A failed wait (the instance was taken again, or the time ran out)
      // is no reason to stop: the next open tells what is the matter. The
      // sleep keeps a wait that fails at once from spinning.
      const std::optional<std::uint32_t> wait =
          left < server_default_wait_ms ? std::optional<std::uint32_t>(left) : std::nullopt;
      if (!system.wait_for_pipe(settings.pipe, wait)) {
        system.sleep_ms(std::min(left_until(system, deadline), retry_not_found_ms));
      }
    } else {
      system.sleep_ms(std::min(left, retry_not_found_ms));
    }
  }
}

// Accepts the server end only when its process is the one that the Service
// Control Manager reports for the service, and the service is running.
// Runs before anything is written: a process that created the pipe's name
// while the service was not running must not receive the request.
std::expected<void, ExchangeOutcome> check_server(CompanionSystem& system, PipeConnection& pipe) {
  constexpr std::string_view nothing_sent = "; nothing was sent";
  const auto server_id = pipe.server_process_id();
  if (!server_id) {
    return std::unexpected(failed(
        BV_E_SYSTEM, "cannot check the pipe's server: " + failure_text(server_id.error()) + std::string(nothing_sent)));
  }
  const std::string server = "server process " + decimal(*server_id);
  const auto service = system.query_service(service_name);
  if (!service) {
    const int code =
        service.error().error == win32_error::service_does_not_exist ? BV_E_SERVICE_NOT_RUNNING : BV_E_SYSTEM;
    return std::unexpected(failed(
        code, "cannot check the pipe's server: " + server + ", " + service_text(service) + std::string(nothing_sent)));
  }
  if (service->state != service_state::running || service->process_id != *server_id) {
    const int code = service->state != service_state::running ? BV_E_SERVICE_NOT_RUNNING : BV_E_SERVER_MISMATCH;
    return std::unexpected(failed(code, "the pipe's server is not the running service: " + server + ", " +
                                            service_text(service) + std::string(nothing_sent)));
  }
  return {};
}

std::expected<void, std::uint32_t> write_all(PipeConnection& pipe, std::string_view bytes, std::uint64_t deadline) {
  std::size_t written = 0;
  while (written < bytes.size()) {
    const std::size_t chunk = std::min(bytes.size() - written, max_write_bytes);
    const auto done = pipe.write(std::span<const char>(bytes.data() + written, chunk), deadline);
    if (!done) return std::unexpected(done.error());
    written += *done;
  }
  return {};
}

// Reads until the first line feed and returns the line without it. When
// the connection ends, fails or times out before one came, or the reply
// grows past its bound: the message for that.
std::expected<std::string, std::string> read_reply_line(PipeConnection& pipe, std::uint64_t deadline) {
  std::string received;
  std::array<char, 512> buffer;
  std::uint32_t error = win32_error::insufficient_buffer;
  while (received.size() < max_reply_bytes) {
    const auto done = pipe.read(buffer, deadline);
    if (!done) {
      error = done.error();
      break;
    }
    received.append(buffer.data(), *done);
    const std::size_t line_feed = received.find('\n');
    if (line_feed != std::string::npos) return received.substr(0, line_feed);
  }
  return std::unexpected("no reply line (error " + decimal(error) + ", " + decimal(received.size()) +
                         " bytes without a line feed)");
}

}  // namespace

std::string state_name(std::uint32_t state) {
  switch (state) {
    case service_state::stopped:
      return "STOPPED";
    case service_state::start_pending:
      return "START_PENDING";
    case service_state::stop_pending:
      return "STOP_PENDING";
    case service_state::running:
      return "RUNNING";
    case service_state::continue_pending:
      return "CONTINUE_PENDING";
    case service_state::pause_pending:
      return "PAUSE_PENDING";
    case service_state::paused:
      return "PAUSED";
    default:
      return "state " + decimal(state);
  }
}

ExchangeOutcome exchange(CompanionSystem& system, const ExchangeSettings& settings, std::string_view request) {
  auto pipe = open_pipe(system, settings);
  if (!pipe) return std::move(pipe.error());
  if (settings.check_server) {
    if (auto checked = check_server(system, **pipe); !checked) return std::move(checked.error());
  }

  ExchangeOutcome outcome;
  const std::uint64_t deadline = system.now_ms() + settings.reply_timeout_ms;
  if (auto written = write_all(**pipe, request, deadline); !written) outcome.write_error = written.error();
  if (!settings.read_reply) return outcome;

  auto line = read_reply_line(**pipe, deadline);
  pipe->reset();
  if (line) {
    outcome.reply = std::move(*line);
  } else {
    outcome.code = BV_E_NO_REPLY;
    outcome.message = std::move(line.error());
  }
  return outcome;
}

}  // namespace bv::companion_side
