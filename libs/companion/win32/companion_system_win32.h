#pragma once
// The companion side's calls on Win32: each with the arguments that
// companion_system.h fixes, reporting what Windows said.

#include "companion/companion_system.h"

namespace bv::companion_side {

class Win32CompanionSystem final : public CompanionSystem {
 public:
  Win32CompanionSystem() = default;

  std::expected<void, std::uint32_t> random(std::span<std::uint8_t> bytes) override;
  std::uint64_t now_ms() override;
  void sleep_ms(std::uint32_t milliseconds) override;
  std::expected<std::unique_ptr<PipeConnection>, CallFailure> open_pipe(std::u16string_view name) override;
  bool wait_for_pipe(std::u16string_view name, std::optional<std::uint32_t> timeout_ms) override;
  std::expected<ServiceProcess, CallFailure> query_service(std::u16string_view service_name) override;
};

}  // namespace bv::companion_side
