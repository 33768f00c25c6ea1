#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "common/log.h"
#include "platform/owned.h"
#include "platform/platform.h"

namespace bv::enclave {

// What a successful launch hands back: the new enclave's process id, the
// process handle its creation returned (kept so that the enclave is never
// confused with a later process that reuses its id), the handle of its
// shutdown event, which may be absent, the job that holds the enclave and
// every process it starts, and what the enclave uses while it runs: the
// isolation account's profile (absent when it could not be loaded) with the
// logon token that unloading it needs, and the path text of the secret
// hand-over file, when one was written.
//
// The members are declared so that destroying the record (on an unwinding
// path) releases them in the order of an explicit release: the profile is
// unloaded before the token it needs is closed, then the job, the event and
// the process handle go.
struct LaunchedEnclave {
  std::uint32_t process_id = 0;
  platform::Object process;
  platform::Object shutdown_event;
  platform::Object job;
  platform::Object logon_token;
  platform::Profile profile;
  std::optional<std::string> secret_file;
};

// The one enclave the service started last. Owned by the pipe server for
// its whole run; empty when it starts.
struct RunningEnclave {
  bool present = false;
  LaunchedEnclave enclave;
};

// Asks the remembered enclave, if it still runs, to exit through its
// shutdown event, gives it 500 ms and terminates its job (the enclave and
// everything it started) with exit code 1 when it is still there. Once the
// enclave is known to have ended, whatever is left in its job is terminated,
// then its profile is unloaded and its hand-over file deleted. Leaves the
// record empty.
void stop_previous_enclave(RunningEnclave& record, platform::Platform& platform, Log& log);

// Remembers a launched enclave; the record must be empty.
void remember_enclave(RunningEnclave& record, LaunchedEnclave launched);

// Closes the handles the record still holds; the enclave and its job keep
// running, and so its profile stays loaded and its hand-over file stays on
// disk.
void release_enclave_record(RunningEnclave& record);

}  // namespace bv::enclave
