#pragma once
#include <cstdint>
#include <string>

#include "common/log.h"
#include "platform/owned.h"
#include "platform/processes_tokens.h"

namespace bv::enclave {

// What a successful launch hands back: the new enclave's process id, the
// process handle its creation returned (kept so that the enclave is never
// confused with a later process that reuses its id), and the handle of its
// shutdown event, which may be absent.
struct LaunchedEnclave {
  std::uint32_t process_id = 0;
  platform::Object process;
  platform::Object shutdown_event;
};

// The one enclave the service started last. Owned by the pipe server for
// its whole run; empty when it starts.
struct RunningEnclave {
  bool present = false;
  std::uint32_t process_id = 0;
  platform::Object process;
  platform::Object shutdown_event;
};

// Asks the remembered enclave, if it still runs, to exit through its
// shutdown event, gives it 500 ms and terminates it with exit code 1 when it
// is still there. Leaves the record empty.
void stop_previous_enclave(RunningEnclave& record, platform::ProcessesTokens& processes, Log& log);

// Remembers a launched enclave; the record must be empty.
void remember_enclave(RunningEnclave& record, LaunchedEnclave launched);

// Closes the handles the record still holds; the enclave keeps running.
void release_enclave_record(RunningEnclave& record);

}  // namespace bv::enclave
