#pragma once
// The service process as the soak watches it: that it is still the same
// process and running, and its handle count and private bytes, which must
// not grow over the run.
//
// The handle count and private bytes come from GetProcessHandleCount and
// GetProcessMemoryInfo. Wine answers both with 0 for another process; there
// the soak counts the service's entries in the system handle table and
// reads the anonymous resident memory of its Linux process instead, after
// checking on itself that both move as they should (check_stand_ins).

#include <windows.h>

#include "soak/tally.h"
#include "support/process.h"
#include "support/service_manager.h"

namespace bv::soak {

struct Usage {
  DWORD handles = 0;
  SIZE_T private_bytes = 0;
  SIZE_T working_set = 0;
  const char* handles_source = "GetProcessHandleCount";
  const char* private_source = "PrivateUsage";
};

class ServiceWatch {
 public:
  // Finds the running service through the Service Control Manager and
  // opens its process; throws when it does not run. `unix_process_id`: the
  // service's Linux process when it runs under Wine (0: not known), whose
  // anonymous resident memory stands in for the private bytes that Wine
  // does not report.
  explicit ServiceWatch(DWORD unix_process_id);

  DWORD process_id() const { return process_id_; }
  // The service still reports running, in the process it ran in at first.
  bool same_process_running() const;
  // Its figures now; throws when they cannot be read.
  Usage usage() const;

 private:
  DWORD unix_process_id_ = 0;
  test::UniqueServiceHandle service_;
  DWORD process_id_ = 0;
  test::UniqueHandle process_;
};

// Before the stand-ins of a Usage (usage.handles_source and
// usage.private_source) are trusted: they must see a change as large as a
// leak would make, made by this process. Prints what it saw.
void check_stand_ins(Tally& tally, const Usage& usage);

}  // namespace bv::soak
