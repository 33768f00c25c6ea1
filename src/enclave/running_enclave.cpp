#include "enclave/running_enclave.h"

#include <string>

#include "enclave/artefacts.h"

namespace bv::enclave {
namespace {

constexpr std::uint32_t grace_period_ms = 500;
constexpr std::uint32_t terminated_exit_code = 1;
// Termination only starts the end of the process; this long at most is given
// to it before the enclave counts as possibly still running.
constexpr std::uint32_t termination_wait_ms = 2000;

// Terminates everything in the enclave's job: what it started, and the
// enclave itself if it still runs. (A record without a job, which no launch
// hands over, has only the enclave to terminate.)
void terminate_enclave_and_job(LaunchedEnclave& enclave, platform::ProcessesTokens& processes) {
  // Whether everything ended shows in the wait on the enclave that follows,
  // or cannot be shown at all for what it started.
  if (enclave.job) {
    static_cast<void>(processes.terminate_job(*enclave.job, terminated_exit_code));
  } else {
    static_cast<void>(processes.terminate(*enclave.process, terminated_exit_code));
  }
}

// Ends what the enclave left running in its job: a process it started may
// hold the account's profile or the hand-over file, and may reach the next
// enclave's. Only once the enclave itself has ended.
void terminate_what_is_left(LaunchedEnclave& enclave, platform::ProcessesTokens& processes) {
  if (enclave.job) static_cast<void>(processes.terminate_job(*enclave.job, terminated_exit_code));
}

// Releases what the enclave used while it ran: its profile is unloaded, its
// hand-over file deleted (a failure is ignored), then the token that the
// unload needed is closed. Only for an enclave known to have ended, and
// after its job was terminated.
void release_after_end(LaunchedEnclave& enclave, platform::PipesFiles& files) {
  enclave.profile.reset();
  delete_secret_file(files, enclave.secret_file);
  enclave.logon_token.reset();
}

// Closes what the record holds and empties it, in the order the record's
// members are destroyed. The handles are those the enclave's creation
// returned, so closing them never touches a process that later received the
// same id. An enclave that may still run keeps its profile loaded and its
// hand-over file; its job is closed without being terminated.
void empty_record(RunningEnclave& record) {
  auto& enclave = record.enclave;
  if (enclave.profile) enclave.profile->abandon();
  enclave.profile.reset();
  enclave.logon_token.reset();
  enclave.job.reset();
  enclave.shutdown_event.reset();
  enclave.process.reset();
  enclave = LaunchedEnclave{};
  record.present = false;
}

// Whether the enclave has ended by the end of the stop: by itself, on its
// event, or terminated. Whatever it started has been terminated then, too.
bool stop_running_enclave(LaunchedEnclave& enclave, platform::ProcessesTokens& processes, Log& log) {
  auto& process = *enclave.process;
  const auto exit_code = processes.exit_code(process);
  // Without an exit code nothing is known; the enclave is left alone.
  if (!exit_code) return false;
  if (*exit_code != platform::still_active) {
    terminate_what_is_left(enclave, processes);
    return true;
  }

  const auto pid = std::to_string(enclave.process_id);
  log.report(Event::respawn, pid);
  // Whether the event could be set shows in the wait that follows.
  if (enclave.shutdown_event) static_cast<void>(processes.set_event(*enclave.shutdown_event));
  if (processes.wait(process, grace_period_ms) == platform::wait_object_0) {
    log.report(Event::enclave_exited, pid);
    terminate_what_is_left(enclave, processes);
    return true;
  }
  terminate_enclave_and_job(enclave, processes);
  log.report(Event::enclave_force_terminated, pid);
  return processes.wait(process, termination_wait_ms) == platform::wait_object_0;
}

}  // namespace

void stop_previous_enclave(RunningEnclave& record, platform::Platform& platform, Log& log) {
  if (!record.present) return;
  auto& enclave = record.enclave;
  // The liveness query, the waits and the termination all go through the
  // handles kept from creation: the id alone may by now name another process.
  if (enclave.process_id != 0 && enclave.process && stop_running_enclave(enclave, platform.processes, log)) {
    release_after_end(enclave, platform.files);
  }
  empty_record(record);
}

void remember_enclave(RunningEnclave& record, LaunchedEnclave launched) {
  record.enclave = std::move(launched);
  record.present = true;
}

void release_enclave_record(RunningEnclave& record) {
  if (!record.present) return;
  // Neither signalled nor waited for: the enclave and what it started
  // outlive the service.
  empty_record(record);
}

}  // namespace bv::enclave
