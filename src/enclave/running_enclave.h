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
// shutdown event, which may be absent, and what the enclave uses while it
// runs: the isolation account's profile (absent when it could not be
// loaded) with the logon token that unloading it needs, and the path text
// of the secret hand-over file, when one was written.
struct LaunchedEnclave {
  std::uint32_t process_id = 0;
  platform::Object process;
  platform::Object shutdown_event;
  platform::Profile profile;
  platform::Object logon_token;
  std::optional<std::string> secret_file;
};

// The one enclave the service started last. Owned by the pipe server for
// its whole run; empty when it starts.
struct RunningEnclave {
  bool present = false;
  LaunchedEnclave enclave;
};

// Asks the remembered enclave, if it still runs, to exit through its
// shutdown event, gives it 500 ms and terminates it with exit code 1 when it
// is still there. Once the enclave is known to have ended, its hand-over
// file is deleted and its profile unloaded. Leaves the record empty.
void stop_previous_enclave(RunningEnclave& record, platform::Platform& platform, Log& log);

// Remembers a launched enclave; the record must be empty.
void remember_enclave(RunningEnclave& record, LaunchedEnclave launched);

// Closes the handles the record still holds; the enclave keeps running, and
// so its profile stays loaded and its hand-over file stays on disk.
void release_enclave_record(RunningEnclave& record);

}  // namespace bv::enclave
