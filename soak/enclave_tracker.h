#pragma once
// What the soak knows of the enclaves the service starts: the reports they
// write beside themselves, which must name the request that asked for them,
// and the one enclave the service remembers (the one it started last),
// which every verified request stops and a refused or unreadable one leaves
// alone. Never more than one enclave lives.

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "soak/requests.h"
#include "soak/tally.h"
#include "support/process.h"

namespace bv::soak {

// The process ids of the running processes whose image is the sample
// enclave.
std::vector<DWORD> running_enclaves();
// "1 2 3", or "none".
std::string id_list(const std::vector<DWORD>& ids);

class EnclaveTracker {
 public:
  // `report_folder`: the folder of the sample enclave, where its reports go.
  EnclaveTracker(Tally& tally, std::wstring report_folder);

  // The enclave the service reported for `request` ("OK {pid}"): its report
  // must name the request's token and secret; the one before must be gone;
  // it must be the only enclave running.
  void started(const Request& request, DWORD process_id, std::string_view context);

  // A verified request that started nothing: the enclave before is gone and
  // none runs.
  void stopped_without_start(std::string_view context);

  // A refused caller or an unreadable line: the enclave before still runs.
  void left_alone(std::string_view context);

  // Verified requests came in an order the soak cannot know: whatever
  // they started, the enclave remembered before them is gone.
  void stopped_by_some(std::string_view context) { expect_previous_stopped(context); }

  // After connections whose order or effect the soak cannot know: at most
  // one enclave runs; the tracker takes that one as the service's.
  void resynchronise(std::string_view context);

  // An enclave that the tracker does not follow (stopped again by a later
  // racer, or started for a client that vanished): its report must still
  // name the request's token and secret.
  void check_report(const Request& request, DWORD process_id, const std::string& context);

  // The process id that the report of `token` names, once that report is
  // complete; nothing while it is not (no waiting).
  std::optional<DWORD> reported_process_id(std::string_view token) const;
  // Where the report of the enclave started for `token` goes.
  std::wstring report_path(std::string_view token) const;

 private:
  void expect_previous_stopped(std::string_view context);
  void expect_running(const std::vector<DWORD>& expected, std::string_view context);

  Tally& tally_;
  std::wstring report_folder_;
  test::UniqueHandle current_;
  DWORD current_id_ = 0;
  bool known_ = false;
};

}  // namespace bv::soak
