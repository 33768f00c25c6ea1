#pragma once
// Fixed-size secrets of the two sides' libraries, zeroed with the project's
// secure_zero when they go. Growing secret text is a bv::SecretString.

#include <array>
#include <cstddef>
#include <cstdint>

#include "secret/secret.h"

namespace bv::sides {

// Fixed-size secret bytes, wiped when they go.
template <std::size_t Size>
class SecretBytes {
 public:
  SecretBytes() = default;
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;
  ~SecretBytes() { secure_zero(bytes_.data(), bytes_.size()); }

  std::array<std::uint8_t, Size>& get() noexcept { return bytes_; }
  const std::array<std::uint8_t, Size>& get() const noexcept { return bytes_; }

 private:
  std::array<std::uint8_t, Size> bytes_{};
};

// Zeroes an object (a C structure that holds a secret) when it goes.
template <class Object>
class WipeOnExit {
 public:
  explicit WipeOnExit(Object& object) noexcept : object_(object) {}
  WipeOnExit(const WipeOnExit&) = delete;
  WipeOnExit& operator=(const WipeOnExit&) = delete;
  ~WipeOnExit() { secure_zero(&object_, sizeof(Object)); }

 private:
  Object& object_;
};

}  // namespace bv::sides
