#pragma once
// Zeroing of memory that held a secret, header-only so that each side's
// library carries it without any compiled code of the service. A container
// is wiped over its whole capacity before it is released.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace bv::sides {

// Volatile stores are not removed as dead stores, unlike a plain memset
// before the memory is released.
inline void secure_zero(void* data, std::size_t size) noexcept {
  auto* p = static_cast<volatile unsigned char*>(data);
  for (std::size_t i = 0; i < size; ++i) p[i] = 0;
}

// A string that holds secret text: reserve its full size before the first
// byte goes in (a reallocation would leave a copy behind), and it is wiped
// when it goes.
class SecretText {
 public:
  SecretText() = default;
  explicit SecretText(std::size_t capacity) { text_.reserve(capacity); }
  SecretText(const SecretText&) = delete;
  SecretText& operator=(const SecretText&) = delete;
  ~SecretText() { wipe(); }

  std::string& get() noexcept { return text_; }
  const std::string& get() const noexcept { return text_; }
  void wipe() noexcept {
    secure_zero(text_.data(), text_.capacity());
    text_.clear();
  }

 private:
  std::string text_;
};

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
