#pragma once
// Move-only owners of Win32 resources: one type per close function, each
// knowing which value means "empty". Closing keeps the thread's last error,
// so an owner that goes out of scope between a failing call and the
// GetLastError() that reports it cannot change the reported code.

#include <windows.h>
// These need the types that windows.h declares.
#include <userenv.h>
#include <winsvc.h>

#include <utility>

namespace bv::platform::win32 {

template <class Traits>
class UniqueAny {
 public:
  using pointer = typename Traits::pointer;

  UniqueAny() noexcept : value_(Traits::empty()) {}
  explicit UniqueAny(pointer value) noexcept : value_(value) {}
  UniqueAny(UniqueAny&& other) noexcept : value_(other.release()) {}
  UniqueAny& operator=(UniqueAny&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueAny(const UniqueAny&) = delete;
  UniqueAny& operator=(const UniqueAny&) = delete;
  ~UniqueAny() { reset(); }

  // Closes the held value (if any) and takes `value` in its place.
  void reset(pointer value = Traits::empty()) noexcept {
    const pointer old = std::exchange(value_, value);
    if (old != Traits::empty()) {
      const DWORD last_error = ::GetLastError();
      Traits::close(old);
      ::SetLastError(last_error);
    }
  }
  // Gives up ownership without closing; the caller becomes the owner.
  [[nodiscard]] pointer release() noexcept { return std::exchange(value_, Traits::empty()); }
  pointer get() const noexcept { return value_; }
  explicit operator bool() const noexcept { return value_ != Traits::empty(); }
  // For out-parameters: closes the held value and exposes the empty slot.
  pointer* put() noexcept {
    reset();
    return &value_;
  }

 private:
  pointer value_;
};

namespace traits {

struct KernelHandle {
  using pointer = HANDLE;
  static pointer empty() noexcept { return nullptr; }
  static void close(pointer value) noexcept { ::CloseHandle(value); }
};

// CreateFileW and CreateNamedPipeW report failure as INVALID_HANDLE_VALUE.
struct FileHandle {
  using pointer = HANDLE;
  static pointer empty() noexcept { return INVALID_HANDLE_VALUE; }
  static void close(pointer value) noexcept { ::CloseHandle(value); }
};

template <class Pointer>
struct LocalMemory {
  using pointer = Pointer;
  static pointer empty() noexcept { return nullptr; }
  static void close(pointer value) noexcept { ::LocalFree(value); }
};

struct ServiceHandle {
  using pointer = SC_HANDLE;
  static pointer empty() noexcept { return nullptr; }
  static void close(pointer value) noexcept { ::CloseServiceHandle(value); }
};

struct EventSource {
  using pointer = HANDLE;
  static pointer empty() noexcept { return nullptr; }
  static void close(pointer value) noexcept { ::DeregisterEventSource(value); }
};

struct RegistryKey {
  using pointer = HKEY;
  static pointer empty() noexcept { return nullptr; }
  static void close(pointer value) noexcept { ::RegCloseKey(value); }
};

struct EnvironmentBlock {
  using pointer = void*;
  static pointer empty() noexcept { return nullptr; }
  static void close(pointer value) noexcept { ::DestroyEnvironmentBlock(value); }
};

// UnloadUserProfile needs the token the profile was loaded for besides the
// profile handle. The token is not owned here: whoever loads the profile
// keeps the token open for longer than the profile.
struct ProfileHandles {
  HANDLE token = nullptr;
  HANDLE profile = nullptr;
  bool operator==(const ProfileHandles&) const = default;
};

struct LoadedProfile {
  using pointer = ProfileHandles;
  static pointer empty() noexcept { return {}; }
  static void close(pointer value) noexcept { ::UnloadUserProfile(value.token, value.profile); }
};

}  // namespace traits

using UniqueHandle = UniqueAny<traits::KernelHandle>;
using UniqueFile = UniqueAny<traits::FileHandle>;
template <class Pointer>
using UniqueLocal = UniqueAny<traits::LocalMemory<Pointer>>;
using UniqueServiceHandle = UniqueAny<traits::ServiceHandle>;
using UniqueKey = UniqueAny<traits::RegistryKey>;
using UniqueEventSource = UniqueAny<traits::EventSource>;
using UniqueEnvironment = UniqueAny<traits::EnvironmentBlock>;
using UniqueProfile = UniqueAny<traits::LoadedProfile>;

}  // namespace bv::platform::win32
