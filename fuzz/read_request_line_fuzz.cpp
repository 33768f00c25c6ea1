// read_request_line against a pipe that delivers the fuzz bytes one per read
// and then ends the way the input chooses.
//
// Input layout:
//   byte 0      bits 0-1: how the data ends: 0 ERROR_BROKEN_PIPE, 1 a read
//               that times out, 2 a successful read of 0 bytes, 3 ERROR_NO_DATA;
//               bit 2: the bytes take time to arrive (byte 1 gives how long);
//               bits 3 and 4 both set: the filler below comes close to the
//               length limit;
//   byte 1      milliseconds each byte takes when bit 2 is set;
//   byte 2      a count c of filler bytes sent first: c, or 65,408 + c with
//               bits 3 and 4 (lines around the limit from small inputs,
//               while most inputs stay short and fast);
//   byte 3      the filler byte;
//   the rest    sent after the filler.
//
// The line must be exactly the bytes before the first line feed, or all the
// bytes when there is none; longer than 65,536 bytes it is refused; the pipe
// is never read past the line feed or past its end; and a time-out is
// reported only when the time limit has passed, never for data that arrived
// well within it.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "broker/pipe_server.h"
#include "fuzz_support.h"
#include "platform/error.h"

namespace {

using namespace bv::fuzz;
using namespace std::chrono_literals;
namespace platform = bv::platform;

constexpr std::size_t kMaxLine = 65'536;
constexpr std::chrono::milliseconds kTimeLimit = 10s;

enum class End { broken_pipe, time_out, zero_count, no_data };

class ManualClock : public platform::Clock {
 public:
  std::chrono::milliseconds now() override { return now_; }
  void sleep_for(std::chrono::milliseconds duration) override { now_ += duration; }
  void advance(std::chrono::milliseconds duration) { now_ += duration; }

 private:
  std::chrono::milliseconds now_{5'000'000};
};

class StreamPipe : public platform::PipeInstance {
 public:
  StreamPipe(std::string_view stream, End end, std::chrono::milliseconds per_byte, ManualClock& clock)
      : stream_(stream), end_(end), per_byte_(per_byte), clock_(clock) {}

  platform::ReadOutcome read_byte(std::chrono::milliseconds timeout) override {
    BV_FUZZ_CHECK(!line_feed_read_, "read past the line feed (read " + std::to_string(reads_ + 1) + ")");
    BV_FUZZ_CHECK(!ended_, "read again after the data ended");
    BV_FUZZ_CHECK(timeout > 0ms, "read with no time left");
    ++reads_;
    if (pos_ < stream_.size()) {
      if (per_byte_ > timeout) {
        clock_.advance(timeout);
        ended_ = true;
        return {.timed_out = true};
      }
      clock_.advance(per_byte_);
      const auto byte = static_cast<std::uint8_t>(stream_[pos_++]);
      line_feed_read_ = byte == '\n';
      return {.succeeded = true, .count = 1, .byte = byte};
    }
    ended_ = true;
    switch (end_) {
      case End::broken_pipe:
        return {.succeeded = false, .error = platform::error_broken_pipe};
      case End::time_out:
        clock_.advance(timeout);
        return {.timed_out = true};
      case End::zero_count:
        return {.succeeded = true, .count = 0};
      case End::no_data:
        return {.succeeded = false, .error = platform::error_no_data};
    }
    return {};
  }

  platform::ConnectOutcome connect(platform::WakeEvent*) override { return {.succeeded = true}; }
  platform::Result<void> write(std::string_view, std::chrono::milliseconds) override {
    BV_FUZZ_CHECK(false, "read_request_line wrote to the pipe");
    return {};
  }
  platform::ReadOutcome wait_for_data(std::chrono::milliseconds) override {
    BV_FUZZ_CHECK(false, "read_request_line waited past its line");
    return {};
  }
  platform::ErrorCode peek() override { return 0; }
  platform::Result<void> disconnect() override {
    BV_FUZZ_CHECK(false, "read_request_line disconnected the pipe");
    return {};
  }
  platform::Result<std::uint32_t> client_process_id() override { return 4100; }

  std::size_t reads() const { return reads_; }

 private:
  std::string_view stream_;
  End end_;
  std::chrono::milliseconds per_byte_;
  ManualClock& clock_;
  std::size_t pos_ = 0;
  std::size_t reads_ = 0;
  bool line_feed_read_ = false;
  bool ended_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Reader in(data, size);
  const std::uint8_t flags = in.byte();
  const auto end = static_cast<End>(flags & 3);
  const std::uint8_t delay = in.byte();
  const std::chrono::milliseconds per_byte{(flags & 4) != 0 ? delay : 0};
  const std::size_t filler_count = ((flags & 0x18) == 0x18 ? kMaxLine - 128 : 0) + in.byte();
  const char filler = static_cast<char>(in.byte());
  std::string stream(filler_count, filler);
  stream += in.rest();

  ManualClock clock;
  const auto start = clock.now();
  StreamPipe pipe(stream, end, per_byte, clock);
  const auto line = bv::broker::read_request_line(pipe, clock, kTimeLimit);
  const auto elapsed = clock.now() - start;

  const std::size_t line_feed = stream.find('\n');
  const bool has_line_feed = line_feed != std::string::npos;
  const std::size_t length = has_line_feed ? line_feed : stream.size();
  const bool too_long = length > kMaxLine;
  // Reads the outcome needs: up to the line feed, up to the first byte over
  // the limit, or all the bytes (and then the end).
  const std::size_t needed = too_long ? kMaxLine + 1 : has_line_feed ? line_feed + 1 : stream.size();
  const bool ends_by_time_out = !too_long && !has_line_feed && end == End::time_out;
  const std::string detail = "stream of " + std::to_string(stream.size()) + " bytes, line length " +
                             std::to_string(length) + ", " + std::to_string(per_byte.count()) + " ms per byte";

  BV_FUZZ_CHECK(pipe.reads() <= needed + 1, detail + ": " + std::to_string(pipe.reads()) + " reads");

  if (!line && line.error() == "Request timed out") {
    BV_FUZZ_CHECK(elapsed >= kTimeLimit || ends_by_time_out, detail + ": timed out early");
    BV_FUZZ_CHECK(ends_by_time_out || static_cast<std::size_t>(per_byte.count()) * needed >= kTimeLimit.count(),
                  detail + ": timed out although the data arrived in time");
    return 0;
  }
  BV_FUZZ_CHECK(!ends_by_time_out, detail + ": a read that timed out ended the line");

  if (too_long) {
    BV_FUZZ_CHECK(!line && line.error() == "Request too long",
                  detail + ": " + (line ? "accepted " + std::to_string(line->get().size()) + " bytes" : line.error()));
    return 0;
  }
  BV_FUZZ_CHECK(line.has_value(), detail + ": " + (line ? std::string() : line.error()));
  BV_FUZZ_CHECK(line->get().size() <= kMaxLine, detail);
  BV_FUZZ_CHECK(line->get() == std::string_view(stream).substr(0, length),
                detail + ": got " + std::to_string(line->get().size()) + " bytes");
  return 0;
}
