#pragma once
// The enclave side's calls on Win32: each with the arguments that
// enclave_system.h fixes, reporting what Windows said.

#include "enclave/enclave_system.h"

namespace bv::enclave_side {

class Win32EnclaveSystem final : public EnclaveSystem {
 public:
  Win32EnclaveSystem() = default;

  std::u16string command_line() override;
  InputKind standard_input_kind() override;
  std::expected<std::uint32_t, std::uint32_t> input_available() override;
  std::expected<std::size_t, std::uint32_t> read_input(std::span<char> buffer) override;
  std::uint64_t now_ms() override;
  void sleep_ms(std::uint32_t milliseconds) override;
  std::expected<std::unique_ptr<HandOverFile>, std::uint32_t> open_hand_over_file(std::u16string_view path) override;
  std::expected<std::unique_ptr<ShutdownEvent>, std::uint32_t> open_shutdown_event(std::u16string_view name) override;
};

}  // namespace bv::enclave_side
