#include "enclave/running_enclave.h"

#include <string>

namespace bv::enclave {
namespace {

constexpr std::uint32_t grace_period_ms = 500;
constexpr std::uint32_t terminated_exit_code = 1;

// Closes what the record holds and empties it. The handles are those the
// enclave's creation returned, so closing them never touches a process that
// later received the same id.
void empty_record(RunningEnclave& record) {
  record.shutdown_event.reset();
  record.process.reset();
  record.process_id = 0;
  record.present = false;
}

}  // namespace

void stop_previous_enclave(RunningEnclave& record, platform::ProcessesTokens& processes, Log& log) {
  if (!record.present) return;
  if (record.process_id == 0 || !record.process) {
    empty_record(record);
    return;
  }

  // The liveness query, the wait and the termination all go through the
  // handle kept from creation: the id alone may by now name another process.
  auto& process = *record.process;
  const auto exit_code = processes.exit_code(process);
  if (!exit_code || *exit_code != platform::still_active) {
    empty_record(record);
    return;
  }

  const auto pid = std::to_string(record.process_id);
  log.line("Terminating previous enclave PID " + pid + " for respawn");
  if (record.shutdown_event) processes.set_event(*record.shutdown_event);
  if (processes.wait(process, grace_period_ms) == platform::wait_object_0) {
    log.line("Enclave PID " + pid + " exited gracefully");
  } else {
    processes.terminate(process, terminated_exit_code);
    log.line("Force-terminated enclave PID " + pid);
  }
  empty_record(record);
}

void remember_enclave(RunningEnclave& record, LaunchedEnclave launched) {
  record.process_id = launched.process_id;
  record.process = std::move(launched.process);
  record.shutdown_event = std::move(launched.shutdown_event);
  record.present = true;
}

void release_enclave_record(RunningEnclave& record) {
  if (!record.present) return;
  // Neither signalled nor waited for: the enclave outlives the service.
  empty_record(record);
}

}  // namespace bv::enclave
