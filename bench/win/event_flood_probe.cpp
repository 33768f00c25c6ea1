// The event log under a flood of refused clients: this program connects 200
// times in a row to the broker's pipe server, which runs on a thread of its
// own with the service's log and event reporter over the real event log
// calls. Its name ends with companion-app.exe and it is not signed, so each
// connection is refused for its signature, as the unsigned reference client
// is. It prints what came of it: replies, standard-error lines, and the
// events reported by ID (counted where the reporter hands them to
// ReportEventW, and, when Wine's debug channels are collected into
// BV_WINE_CHANNEL_FILE, as Wine printed them).
//
// Exit status 1 when the figures break the rule: a log line for every
// connection, at most 10 events of the refused-caller kind in any minute,
// and the count of the ones left out reported once, at the stop. 2 when the
// probe itself could not run.

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <map>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "common/events.h"
#include "platform/event_log.h"
#include "platform/win32/event_log.h"
#include "support/e2e_server.h"
#include "support/event_channel.h"
#include "support/pipe_client.h"
#include "support/process.h"
#include "text/utf.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int connections = 200;
constexpr DWORD listen_timeout_ms = 30000;

// One ReportEventW call as the reporter made it.
struct Reported {
  Clock::time_point at;
  std::uint32_t id;
  std::vector<std::u16string> inserts;
};

// The Win32 event log, with every report recorded on the way through.
class CountingEventLog final : public bv::platform::EventLog {
 public:
  bv::platform::Result<bv::platform::EventSource> register_source(std::u16string_view name) override {
    return inner_.register_source(name);
  }
  bv::platform::Result<void> report(bv::platform::EventSourceHandle& source, std::uint16_t type, std::uint32_t id,
                                    std::span<const std::u16string> inserts) override {
    {
      const std::lock_guard lock(mutex_);
      reported_.push_back({Clock::now(), id, {inserts.begin(), inserts.end()}});
    }
    return inner_.report(source, type, id, inserts);
  }
  std::vector<Reported> reported() const {
    const std::lock_guard lock(mutex_);
    return reported_;
  }

 private:
  bv::platform::win32::Win32EventLog inner_;
  mutable std::mutex mutex_;
  std::vector<Reported> reported_;
};

std::uint32_t id_of(bv::Event event) {
  return bv::event_id(bv::event_kind(event));
}

// The most events of `id` in any minute that begins with one of them.
std::size_t most_in_a_minute(const std::vector<Reported>& reported, std::uint32_t id) {
  std::size_t most = 0;
  for (std::size_t i = 0; i < reported.size(); ++i) {
    if (reported[i].id != id) continue;
    std::size_t in_minute = 0;
    for (std::size_t j = i; j < reported.size() && reported[j].at - reported[i].at < std::chrono::minutes(1); ++j) {
      in_minute += reported[j].id == id ? 1 : 0;
    }
    most = std::max(most, in_minute);
  }
  return most;
}

int run() {
  const std::string refused_reply = "ERR caller not authorized: Authenticode failed (0x800B0100)";
  CountingEventLog events;
  int refused = 0;
  std::size_t lines = 0;
  const auto started = Clock::now();
  {
    bv::test::InProcessPipeServer server(&events);
    if (!bv::test::wait_until_listening(listen_timeout_ms)) {
      std::printf("event-flood probe: the pipe server never listened\n");
      return 2;
    }
    for (int i = 0; i < connections; ++i) {
      const bv::test::Received received = bv::test::round_trip("SPAWN " + std::to_string(i) + "\n");
      if (received.outcome == bv::test::Outcome::reply && received.line == refused_reply) ++refused;
    }
    server.stop();
    lines = server.console().lines_containing("[BrisvanderSvc] Rejected SPAWN caller: ").size();
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();

  const std::vector<Reported> reported = events.reported();
  const std::uint32_t rejected_id = id_of(bv::Event::rejected_caller);
  const std::uint32_t left_out_id = id_of(bv::Event::events_left_out);
  std::size_t rejected_events = 0;
  std::size_t left_out_events = 0;
  unsigned long left_out_count = 0;
  for (const Reported& event : reported) {
    if (event.id == rejected_id) ++rejected_events;
    if (event.id == left_out_id) {
      ++left_out_events;
      left_out_count += std::stoul(bv::text::to_utf8(event.inserts.at(0)));
    }
  }
  const std::size_t most = most_in_a_minute(reported, rejected_id);

  std::printf("event-flood probe: %d connections from an unsigned client in %.1f s\n", connections, seconds);
  std::printf("  replies \"%s\": %d\n", refused_reply.c_str(), refused);
  std::printf("  standard-error lines \"Rejected SPAWN caller: ...\": %zu\n", lines);
  std::printf("  events reported to ReportEventW: %zu in all\n", reported.size());
  std::printf("    ID %u (rejected caller, warning): %zu, at most %zu in one minute\n", rejected_id & 0xFFFF,
              rejected_events, most);
  std::printf("    ID %u (events left out, warning): %zu, counting %lu left out\n", left_out_id & 0xFFFF,
              left_out_events, left_out_count);

  if (const auto channel = bv::test::channel_file()) {
    const std::vector<bv::test::ChannelEvent> printed =
        bv::test::parse_channel_events(bv::test::read_file(*channel).value_or(""));
    std::map<std::uint32_t, std::size_t> by_id;
    for (const auto& event : printed) ++by_id[event.id];
    std::printf("  events Wine's ReportEventW printed on its debug channels: %zu in all\n", printed.size());
    for (const auto& [id, count] : by_id) std::printf("    ID %u: %zu\n", id & 0xFFFF, count);
  }

  const bool kept = refused == connections && lines == static_cast<std::size_t>(connections) && most <= 10 &&
                    rejected_events + left_out_count == static_cast<std::size_t>(connections) &&
                    (seconds >= 60 || (rejected_events == 10 && left_out_events == 1));
  std::printf("  %s\n", kept ? "every connection has its line; the event log took at most 10 and one count a minute"
                             : "FAILED: the figures above break the rule");
  return kept ? 0 : 1;
}

}  // namespace

int wmain() {
  try {
    return run();
  } catch (const std::exception& e) {
    std::printf("event-flood probe: %s\n", e.what());
    return 2;
  }
}
