#pragma once
// The soak's count of its checks: what passed, by kind, and every failure,
// printed as it happens ("  FAILED: ..."). One tally per run, passed to
// whatever checks something; the phases run client threads, so every count
// may be taken from any thread.

#include <atomic>
#include <mutex>
#include <string>

namespace bv::soak {

class Tally {
 public:
  Tally() = default;
  Tally(const Tally&) = delete;
  Tally& operator=(const Tally&) = delete;

  void connection() { ++connections_; }
  void exact_reply() { ++exact_replies_; }
  void ok_reply() { ++ok_replies_; }
  void silence() { ++silences_; }
  void enclave_verified() { ++enclaves_verified_; }
  // A previous enclave that ended: exit code 0 on its event, 1 terminated.
  void enclave_stopped(unsigned long exit_code) { ++(exit_code == 0 ? graceful_ : terminated_); }
  void passed_check() { ++other_checks_; }
  // A failed check: counted and printed at once.
  void fail(std::string message);

  long long connections() const { return connections_; }
  long long exact_replies() const { return exact_replies_; }
  long long ok_replies() const { return ok_replies_; }
  long long silences() const { return silences_; }
  long long enclaves_verified() const { return enclaves_verified_; }
  long long graceful() const { return graceful_; }
  long long terminated() const { return terminated_; }
  long long other_checks() const { return other_checks_; }
  long long failed() const { return failed_; }

 private:
  std::mutex mutex_;  // one failure line at a time
  std::atomic<long long> connections_ = 0;
  std::atomic<long long> exact_replies_ = 0;
  std::atomic<long long> ok_replies_ = 0;
  std::atomic<long long> silences_ = 0;
  std::atomic<long long> enclaves_verified_ = 0;
  std::atomic<long long> graceful_ = 0;
  std::atomic<long long> terminated_ = 0;
  std::atomic<long long> other_checks_ = 0;
  std::atomic<long long> failed_ = 0;
};

}  // namespace bv::soak
