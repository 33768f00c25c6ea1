#pragma once
// The phases of a soak run, in the order the run calls them: a warm-up;
// sequential connections mixing valid, malformed, empty, non-UTF-8,
// over-long and refused requests; rounds of concurrent clients racing for
// the one pipe instance; clients that vanish before sending, in the middle
// of the line and before reading the reply; a silent client; a 1 MiB line;
// spawns in a row. Every reply is compared with the one line (or the
// silence) that its request must get, every started enclave's report with
// the request that asked for it; what a phase saw beyond that is kept for
// the figures.

#include <windows.h>

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "soak/enclave_tracker.h"
#include "soak/relays.h"
#include "soak/requests.h"
#include "soak/settings.h"
#include "soak/tally.h"
#include "support/pipe_client.h"

namespace bv::soak {

class Phases {
 public:
  Phases(Settings settings, Tally& tally);

  // Starts the refused clients: copies of the unsigned soak program, one
  // named companion-app.exe, one signed copy whose bytes were changed.
  void prepare_relays();
  // Ends the refused clients and removes their copies.
  void finish();

  // `count` connections one after another, of every kind. `long_lines`
  // of them carry a line over 64 KiB.
  void sequential(std::size_t count, std::size_t long_lines, std::string_view phase);
  // Rounds of `racers` clients started at once; each must get its own reply.
  void races(std::size_t rounds, std::size_t racers);
  // Clients that end their process before sending, half way through the
  // line, and after sending but before reading. Each is followed by a
  // client that must be served as usual.
  void vanishing(std::size_t each);
  // A client that connects and sends nothing; a second one that comes a
  // second later must be served once the first is cut off.
  void silent(std::size_t rounds);
  // One line of `bytes` bytes.
  void big_line(std::size_t bytes);
  // `count` valid requests in a row.
  void spawns(std::size_t count);
  // The state before a measurement: the last request started an enclave
  // (or, when none can start, was refused after verification).
  void settle();

  const std::vector<double>& silent_cutoffs() const { return silent_cutoffs_; }
  double big_line_ms() const { return big_line_ms_; }
  const std::string& big_line_note() const { return big_line_note_; }
  // What the racing clients' opens met.
  long long race_busy_waits() const { return race_busy_waits_; }
  long long race_missing_instances() const { return race_missing_instances_; }
  // The sequential connections (warm-up included) by kind.
  const std::map<std::string, long long>& mix() const { return mix_; }

 private:
  // One request from this (accepted) process, with the effect it must have
  // on the enclave the service remembers.
  void own_request(const Request& request, const std::string& context, const test::ExchangeLimits& limits = {});
  void progress(std::string_view phase, std::size_t done, std::size_t total);
  static std::wstring work_folder();

  Settings settings_;
  Tally& tally_;
  RequestMaker maker_;
  EnclaveTracker enclaves_;
  std::vector<std::unique_ptr<Relay>> relays_;
  std::vector<double> silent_cutoffs_;
  double big_line_ms_ = 0;
  std::string big_line_note_;
  long long race_busy_waits_ = 0;
  long long race_missing_instances_ = 0;
  std::map<std::string, long long> mix_;
};

}  // namespace bv::soak
