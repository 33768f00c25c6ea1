// bv-soak: a long run against the installed Brisvander Enclave Service.
//
// It must run as a client that the service accepts: the build test-signs a
// copy of it named bv-soak-companion-app.exe, and that copy is the one to
// start. Besides its own connections it starts copies of itself as other
// clients (relays.h): relays that the service refuses and clients that
// vanish in the middle of a connection.
//
// The run: the phases (phases.h) against the service, whose process is
// watched for growth of its handle count and private bytes between the end
// of the warm-up and the end (service_watch.h); every check counted in one
// tally (tally.h), whose figures end the output.
//
// Exit status: 0 every check passed, 1 a check failed, 2 the run could not
// be set up (usage, missing files, no service).

#include <windows.h>

#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "soak/exchange.h"
#include "soak/phases.h"
#include "soak/relays.h"
#include "soak/requests.h"
#include "soak/service_watch.h"
#include "soak/settings.h"
#include "soak/tally.h"
#include "support/clock.h"
#include "support/pipe_client.h"
#include "support/text.h"

namespace bv::soak {
namespace {

constexpr int exit_passed = 0;
constexpr int exit_failed = 1;
constexpr int exit_setup = 2;

void print_usage(const char* label, const Usage& usage) {
  std::printf("  %s: %lu handles (%s), %zu private bytes (%s), working set %zu\n", label, usage.handles,
              usage.handles_source, usage.private_bytes, usage.private_source, usage.working_set);
  std::fflush(stdout);
}

// The figures that end the output.
void print_figures(const Tally& tally, const Phases& phases, const Settings& settings, const ServiceWatch& service,
                   const std::vector<std::pair<std::string, double>>& phase_seconds, const Usage& warm,
                   const Usage& end, double run_seconds) {
  const long long handle_growth = static_cast<long long>(end.handles) - static_cast<long long>(warm.handles);
  const long long private_growth =
      static_cast<long long>(end.private_bytes) - static_cast<long long>(warm.private_bytes);
  std::printf("\nbv-soak figures\n");
  for (const auto& [name, seconds] : phase_seconds) std::printf("  phase %-24s %8.1f s\n", name.c_str(), seconds);
  std::printf("  connections served:            %lld\n", tally.connections());
  std::printf("  replies checked:               %lld (%lld exact lines, %lld \"OK {pid}\" lines, %lld silences)\n",
              tally.exact_replies() + tally.ok_replies() + tally.silences(), tally.exact_replies(), tally.ok_replies(),
              tally.silences());
  std::printf("  enclave reports matched:       %lld\n", tally.enclaves_verified());
  std::printf("  previous enclaves stopped:     %lld (%lld exited on their event, %lld terminated)\n",
              tally.graceful() + tally.terminated(), tally.graceful(), tally.terminated());
  std::printf("  other checks passed:           %lld\n", tally.other_checks());
  std::printf("  sequential connections:       ");
  for (const auto& [kind, count] : phases.mix()) std::printf(" %s %lld;", kind.c_str(), count);
  std::printf("\n");
  std::printf("  racing clients' opens:         %lld found the pipe busy (WaitNamedPipeW), %lld found no instance\n",
              phases.race_busy_waits(), phases.race_missing_instances());
  for (const double cutoff : phases.silent_cutoffs()) std::printf("  silent client cut off after:   %.0f ms\n", cutoff);
  std::printf("  1 MiB line:                    no reply after %.0f ms; %s\n", phases.big_line_ms(),
              phases.big_line_note().c_str());
  std::printf(
      "  service handle count:          %lu after the warm-up, %lu at the end (growth %lld, allowed %lld; %s)\n",
      warm.handles, end.handles, handle_growth, settings.handle_noise, end.handles_source);
  std::printf(
      "  service private bytes:         %zu after the warm-up, %zu at the end (growth %lld, allowed %lld; %s)\n",
      warm.private_bytes, end.private_bytes, private_growth, settings.private_noise, end.private_source);
  std::printf("  service still running:         %s\n", service.same_process_running() ? "yes" : "no");
  std::printf("  total run time:                %.1f s\n", run_seconds);
  std::printf("  failed checks:                 %lld\n", tally.failed());
  std::fflush(stdout);
}

// Growth of the service's figures beyond the noise is a failure.
void check_growth(Tally& tally, const Settings& settings, const Usage& warm, const Usage& end) {
  const long long handle_growth = static_cast<long long>(end.handles) - static_cast<long long>(warm.handles);
  const long long private_growth =
      static_cast<long long>(end.private_bytes) - static_cast<long long>(warm.private_bytes);
  if (warm.handles == 0 || warm.private_bytes == 0) {
    tally.fail("no usable measurement of the service process");
    return;
  }
  if (handle_growth > settings.handle_noise) {
    tally.fail("the service's handle count grew by " + std::to_string(handle_growth));
  }
  if (private_growth > settings.private_noise) {
    tally.fail("the service's private bytes grew by " + std::to_string(private_growth));
  }
}

int run(const Settings& settings) {
  const double started = test::now_ms();
  std::optional<ServiceWatch> service;
  try {
    service.emplace(settings.service_unix_pid);
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "bv-soak: %s\n", failure.what());
    return exit_setup;
  }
  std::printf("bv-soak: service process %lu, enclave %s, seed %llu%s\n", service->process_id(),
              settings.enclave_path.c_str(), static_cast<unsigned long long>(settings.seed),
              settings.spawns_expected ? "" : ", no spawns");

  Tally tally;
  Phases phases(settings, tally);
  Usage warm{};
  Usage end{};
  std::vector<std::pair<std::string, double>> phase_seconds;
  const auto timed = [&](const char* name, const auto& body) {
    std::printf("phase: %s\n", name);
    std::fflush(stdout);
    const double phase_started = test::now_ms();
    body();
    phase_seconds.emplace_back(name, (test::now_ms() - phase_started) / 1000.0);
  };
  try {
    phases.prepare_relays();
    timed("warm-up", [&] {
      phases.sequential(settings.warmup, 0, "warm-up");
      phases.races(1, settings.racers);
      phases.vanishing(1);
      phases.settle();
    });
    warm = service->usage();
    print_usage("after the warm-up", warm);
    check_stand_ins(tally, warm);

    timed("sequential", [&] { phases.sequential(settings.sequential, settings.over_long_lines, "sequential"); });
    print_usage("after the sequential connections", service->usage());
    timed("races", [&] { phases.races(settings.race_rounds, settings.racers); });
    timed("vanishing clients", [&] { phases.vanishing(settings.vanish_each); });
    timed("silent clients", [&] { phases.silent(settings.silent_rounds); });
    timed("1 MiB line", [&] { phases.big_line(settings.big_line_bytes); });
    if (settings.spawns_expected) timed("spawns in a row", [&] { phases.spawns(settings.spawns); });
    phases.settle();
    end = service->usage();
    print_usage("at the end", end);
  } catch (const std::exception& failure) {
    tally.fail(std::string("the run stopped: ") + failure.what());
  }
  phases.finish();

  // Still there, and still answering.
  if (!service->same_process_running()) {
    tally.fail("the service process " + std::to_string(service->process_id()) + " is no longer running");
  } else {
    const Request last = RequestMaker(settings.seed + 1, settings.enclave_path).token_length_probe(3);
    check_reply(tally, last, test::round_trip(last.bytes), "last client");
  }
  check_growth(tally, settings, warm, end);

  print_figures(tally, phases, settings, *service, phase_seconds, warm, end, (test::now_ms() - started) / 1000.0);
  return tally.failed() == 0 ? exit_passed : exit_failed;
}

}  // namespace
}  // namespace bv::soak

int wmain(int argc, wchar_t** argv) {
  using namespace bv::soak;
  if (argc >= 2 && std::wstring_view(argv[1]) == L"--relay") return run_relay();
  if (argc == 7 && std::wstring_view(argv[1]) == L"--vanish") {
    return run_vanishing(argv[2], bv::test::from_hex(bv::test::to_utf8(argv[4])), argv[6]);
  }
  const auto settings = parse_settings(argc, argv);
  if (!settings) {
    std::fwrite(usage_text.data(), 1, usage_text.size(), stderr);
    return exit_setup;
  }
  return run(*settings);
}
