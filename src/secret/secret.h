#pragma once
// Zeroing of memory that held a secret (the account password, the IPC
// secret and its text). Every container is wiped over its whole capacity
// before it is released, so no copy is left behind in freed memory.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bv {

// Overwrites the bytes with zeros in a way the compiler may not elide.
void secure_zero(void* data, std::size_t size);

template <class Container>
void wipe(Container& c) {
  c.resize(c.capacity());
  secure_zero(c.data(), c.size() * sizeof(typename Container::value_type));
  c.clear();
}

// A container that is wiped when it is destroyed.
template <class Container>
class Wiped {
 public:
  Wiped() = default;
  explicit Wiped(Container value) : value_(std::move(value)) {}
  Wiped(Wiped&& other) noexcept : value_(std::move(other.value_)) { wipe(other.value_); }
  Wiped& operator=(Wiped&& other) noexcept {
    if (this != &other) {
      wipe(value_);
      value_ = std::move(other.value_);
      wipe(other.value_);
    }
    return *this;
  }
  Wiped(const Wiped&) = delete;
  Wiped& operator=(const Wiped&) = delete;
  ~Wiped() { wipe(value_); }

  Container& get() { return value_; }
  const Container& get() const { return value_; }

 private:
  Container value_;
};

using SecretString = Wiped<std::string>;
using SecretU16String = Wiped<std::u16string>;
using SecretBytes = Wiped<std::vector<std::uint8_t>>;

}  // namespace bv
