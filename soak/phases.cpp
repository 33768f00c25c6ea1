#include "soak/phases.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <thread>
#include <utility>

#include "soak/exchange.h"
#include "support/clock.h"
#include "support/process.h"

namespace bv::soak {
namespace {

using test::Outcome;

// The service cuts a silent client off after 10 s.
constexpr double silent_cutoff_min_ms = 9500;
constexpr double silent_cutoff_max_ms = 12500;
// The limits of the clients whose lines are long or who race for the pipe.
constexpr test::ExchangeLimits patient{60000, 30000};
// How long a vanishing client may take to vanish.
constexpr DWORD vanishing_timeout_ms = 60000;

}  // namespace

Phases::Phases(Settings settings, Tally& tally)
    : settings_(std::move(settings)),
      tally_(tally),
      maker_(settings_.seed, settings_.enclave_path),
      enclaves_(tally_, test::folder_of(test::to_wide(settings_.enclave_path))) {
  maker_.set_launches_possible(settings_.spawns_expected);
}

void Phases::prepare_relays() {
  const std::wstring work = work_folder();
  const std::wstring unsigned_copy = work + L"\\unsigned\\companion-app.exe";
  const std::wstring tampered_copy = work + L"\\tampered\\companion-app.exe";
  CreateDirectoryW((work + L"\\unsigned").c_str(), nullptr);
  CreateDirectoryW((work + L"\\tampered").c_str(), nullptr);
  if (!CopyFileW(settings_.unsigned_program.c_str(), unsigned_copy.c_str(), FALSE)) {
    throw std::runtime_error("cannot copy " + test::to_utf8(settings_.unsigned_program));
  }
  // One letter of the DOS stub's message changed: the signature no longer
  // matches the file's bytes.
  const std::wstring own = test::own_path();
  auto signed_bytes = test::read_file(own);
  const std::size_t stub = signed_bytes ? signed_bytes->find("This program cannot be run") : std::string::npos;
  if (stub == std::string::npos) throw std::runtime_error("no DOS stub message in " + test::to_utf8(own));
  (*signed_bytes)[stub] = 't';
  if (!test::write_file(tampered_copy, *signed_bytes)) throw std::runtime_error("cannot write the tampered copy");

  relays_.push_back(std::make_unique<Relay>(settings_.unsigned_program, ""));
  relays_.push_back(std::make_unique<Relay>(unsigned_copy, "Authenticode failed (0x800B0100)"));
  relays_.push_back(std::make_unique<Relay>(tampered_copy, "Authenticode failed (0x80096010)"));
  for (const auto& relay : relays_) std::printf("  refused client: %s\n", relay->reason().c_str());
}

void Phases::finish() {
  relays_.clear();
  const std::wstring work = work_folder();
  DeleteFileW((work + L"\\unsigned\\companion-app.exe").c_str());
  DeleteFileW((work + L"\\tampered\\companion-app.exe").c_str());
  RemoveDirectoryW((work + L"\\unsigned").c_str());
  RemoveDirectoryW((work + L"\\tampered").c_str());
  RemoveDirectoryW(work.c_str());
}

void Phases::sequential(std::size_t count, std::size_t long_lines, std::string_view phase) {
  const std::size_t long_every = long_lines == 0 ? 0 : count / (long_lines + 1);
  for (std::size_t i = 0; i < count; ++i) {
    const std::string context = std::string(phase) + " #" + std::to_string(i + 1);
    const std::size_t pick = maker_.below(100);
    if (long_every != 0 && i % long_every == long_every - 1 && i / long_every < long_lines) {
      ++mix_["lines over 64 KiB"];
      own_request(maker_.over_long_line(65'536 + 1 + maker_.below(4096)), context, patient);
    } else if (pick < 20) {
      ++mix_["refused callers"];
      Relay& relay = *relays_[maker_.below(relays_.size())];
      const Request request = maker_.from_rejected_caller(relay.reason());
      check_reply(tally_, request, relay.send(request), context);
      enclaves_.left_alone(context);
    } else if (pick < 30 && settings_.spawns_expected) {
      ++mix_["valid"];
      own_request(maker_.valid(), context);
    } else if (pick < 65) {
      ++mix_["malformed"];
      own_request(maker_.malformed(), context);
    } else if (pick < 75) {
      ++mix_["over-long fields"];
      own_request(maker_.over_long_field(), context);
    } else if (pick < 85) {
      ++mix_["empty"];
      own_request(maker_.empty(), context);
    } else {
      ++mix_["non-UTF-8"];
      own_request(maker_.non_utf8(), context);
    }
    if ((i + 1) % 250 == 0) progress(phase, i + 1, count);
  }
}

void Phases::races(std::size_t rounds, std::size_t racers) {
  for (std::size_t round = 0; round < rounds; ++round) {
    std::vector<Request> requests;
    for (std::size_t i = 0; i < racers; ++i) {
      // A quarter start enclaves, three in sixteen get no reply, the rest
      // are refused with a message that names their own token length.
      if (i % 4 == 0 && settings_.spawns_expected) {
        requests.push_back(maker_.valid());
      } else if (i % 5 == 1) {
        requests.push_back(i % 2 == 0 ? maker_.non_utf8() : maker_.empty());
        requests.back().hang_up = false;
        if (requests.back().bytes.empty()) requests.back().bytes = "\n";
      } else {
        requests.push_back(maker_.token_length_probe(1 + i));
      }
    }
    std::vector<test::Received> received(racers);
    test::UniqueHandle go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < racers; ++i) {
      threads.emplace_back([&, i] {
        WaitForSingleObject(go.get(), INFINITE);
        received[i] = test::round_trip(requests[i].bytes, patient);
      });
    }
    SetEvent(go.get());
    for (auto& thread : threads) thread.join();

    const std::string context = "race " + std::to_string(round + 1);
    std::vector<DWORD> started;
    for (std::size_t i = 0; i < racers; ++i) {
      race_busy_waits_ += received[i].busy_waits;
      race_missing_instances_ += received[i].missing_instances;
      const auto process_id =
          check_reply(tally_, requests[i], received[i], context + " client " + std::to_string(i + 1));
      if (process_id) {
        started.push_back(*process_id);
        // Stopped again by a later racer, maybe before the report was
        // checked: the report must still name this request's token.
        enclaves_.check_report(requests[i], *process_id, context);
      }
    }
    std::sort(started.begin(), started.end());
    if (std::adjacent_find(started.begin(), started.end()) != started.end()) {
      tally_.fail(context + ": two clients got the same process id: " + id_list(started));
    }
    enclaves_.stopped_by_some(context);
    enclaves_.resynchronise(context);
  }
  progress("races", rounds * racers, rounds * racers);
}

void Phases::vanishing(std::size_t each) {
  const std::vector<std::wstring> modes = {L"before-send", L"mid-line", L"before-read"};
  std::size_t probe_length = 1;
  for (std::size_t i = 0; i < each; ++i) {
    for (const auto& mode : modes) {
      if (mode == L"before-read" && !settings_.spawns_expected) continue;
      const std::string context = "vanish " + test::to_utf8(mode) + " #" + std::to_string(i + 1);
      Request request = maker_.valid();
      request.bytes = "SPAWN " + request.token + " " + request.secret + " " + settings_.enclave_path + "\n";
      const std::optional<DWORD> exit_code = run_vanishing_client(
          test::own_path(), mode, request.bytes, enclaves_.report_path(request.token), vanishing_timeout_ms);
      if (!exit_code) {
        tally_.fail(context + ": the client did not end");
      } else if (*exit_code != 0) {
        tally_.fail(context + ": the client ended with " + std::to_string(*exit_code) +
                    (*exit_code == 3 ? " (its enclave wrote no report)" : ""));
      } else {
        tally_.connection();
        tally_.passed_check();
      }
      if (mode == L"before-read") {
        // Started although nobody read the reply.
        if (const auto process_id = enclaves_.reported_process_id(request.token)) {
          enclaves_.check_report(request, *process_id, context);
        }
      }
      // A half line may or may not have been taken as the client's
      // request (the client may be gone before it is verified).
      enclaves_.resynchronise(context);
      own_request(maker_.token_length_probe(probe_length), context + ", next client");
      probe_length = probe_length % 31 + 1;
    }
  }
  progress("vanishing clients", each * modes.size(), each * modes.size());
}

void Phases::silent(std::size_t rounds) {
  for (std::size_t round = 0; round < rounds; ++round) {
    const std::string context = "silent client #" + std::to_string(round + 1);
    test::Received silent_end;
    double silent_connected = 0;
    bool silent_open = false;
    std::thread silent_thread([&] {
      test::Connection connection;
      if (!connection.open(patient.connect_ms)) {
        silent_end.error = connection.error();
        return;
      }
      silent_open = true;
      silent_connected = test::now_ms();
      silent_end = connection.read_reply(patient.reply_ms);
      silent_end.total_ms = test::now_ms() - silent_connected;
    });
    Sleep(1000);
    const Request follower = maker_.token_length_probe(7 + round);
    const test::Received follower_got = test::round_trip(follower.bytes, patient);
    const double follower_done = test::now_ms();
    silent_thread.join();
    if (!silent_open) {
      tally_.fail(context + ": could not connect: error " + std::to_string(silent_end.error));
      continue;
    }
    tally_.connection();
    if (silent_end.outcome != Outcome::silence) {
      tally_.fail(context + ": expected to be cut off without a reply, got " + describe(silent_end));
    } else if (silent_end.total_ms < silent_cutoff_min_ms || silent_end.total_ms > silent_cutoff_max_ms) {
      tally_.fail(context + ": cut off after " + std::to_string(silent_end.total_ms) + " ms (10 s expected)");
    } else {
      tally_.silence();
    }
    silent_cutoffs_.push_back(silent_end.total_ms);
    check_reply(tally_, follower, follower_got, context + ", next client");
    if (follower_done < silent_connected + silent_end.total_ms) {
      tally_.fail(context + ": the next client was answered before the silent one was cut off");
    }
    // The silent client left the enclave alone; the next one, verified and
    // refused, stopped it.
    enclaves_.stopped_without_start(context);
  }
}

void Phases::big_line(std::size_t bytes) {
  const std::string context = "1 MiB line";
  const Request request = maker_.over_long_line(bytes);
  const double started = test::now_ms();
  test::Connection connection;
  if (!connection.open(patient.connect_ms)) {
    tally_.fail(context + ": could not connect: error " + std::to_string(connection.error()));
    return;
  }
  const bool written = connection.write(request.bytes, 60000);
  const DWORD write_error = written ? 0 : connection.error();
  const test::Received received = connection.read_reply(patient.reply_ms);
  connection.close();
  big_line_ms_ = test::now_ms() - started;
  big_line_note_ = written ? "the whole line was written" : "the write ended with error " + std::to_string(write_error);
  check_reply(tally_, request, received, context);
  enclaves_.left_alone(context);
  own_request(maker_.token_length_probe(13), context + ", next client");
}

void Phases::spawns(std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    own_request(maker_.valid(), "spawn #" + std::to_string(i + 1));
    if ((i + 1) % 50 == 0) progress("spawns", i + 1, count);
  }
}

void Phases::settle() {
  if (settings_.spawns_expected) {
    own_request(maker_.valid(), "settle");
  } else {
    own_request(maker_.token_length_probe(5), "settle");
  }
}

void Phases::own_request(const Request& request, const std::string& context, const test::ExchangeLimits& limits) {
  const test::Received received = send(request, limits);
  const auto process_id = check_reply(tally_, request, received, context);
  if (process_id) {
    enclaves_.started(request, *process_id, context);
  } else if (request.expect == Expect::silence) {
    enclaves_.left_alone(context);
  } else if (received.outcome == Outcome::reply) {
    enclaves_.stopped_without_start(context);
  } else {
    enclaves_.resynchronise(context);
  }
}

void Phases::progress(std::string_view phase, std::size_t done, std::size_t total) {
  std::printf("  %.*s: %zu/%zu, %lld checks failed so far\n", static_cast<int>(phase.size()), phase.data(), done, total,
              tally_.failed());
  std::fflush(stdout);
}

std::wstring Phases::work_folder() {
  std::wstring folder = test::temp_path_with_separator() + L"bv-soak-" + std::to_wstring(GetCurrentProcessId());
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

}  // namespace bv::soak
