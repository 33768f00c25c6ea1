#pragma once
// The Win32 owner behind the portable owners of platform/owned.h: one
// template that holds the unique handle of its kind. Code in this layer gets
// the raw value back with raw(), a static_cast to the concrete owner, since
// every owner it receives was made here.

#include <windows.h>

#include <memory>
#include <utility>

#include "platform/owned.h"
#include "platform/win32/unique_handle.h"

namespace bv::platform::win32 {

// The unique handle type that owns each kind.
template <class Kind>
struct UniqueOf;
template <>
struct UniqueOf<kind::KernelObject> {
  using type = UniqueHandle;
};
template <>
struct UniqueOf<kind::SecurityDescriptor> {
  using type = UniqueLocal<PSECURITY_DESCRIPTOR>;
};
template <>
struct UniqueOf<kind::LoadedProfile> {
  using type = UniqueProfile;
};
template <>
struct UniqueOf<kind::EnvironmentBlock> {
  using type = UniqueEnvironment;
};
template <>
struct UniqueOf<kind::RegistryKey> {
  using type = UniqueKey;
};
template <>
struct UniqueOf<kind::ServiceHandle> {
  using type = UniqueServiceHandle;
};
template <>
struct UniqueOf<kind::EventSource> {
  using type = UniqueEventSource;
};

template <class Kind>
class Win32Owned final : public Owned<Kind> {
 public:
  using Unique = typename UniqueOf<Kind>::type;

  explicit Win32Owned(Unique value) : value_(std::move(value)) {}
  auto get() const { return value_.get(); }
  void abandon() noexcept override { static_cast<void>(value_.release()); }

 private:
  Unique value_;
};

// Hands a valid handle to a portable owner. The owner never holds an empty
// handle: failures are reported before anything is wrapped.
template <class Kind>
std::unique_ptr<Owned<Kind>> own(typename UniqueOf<Kind>::type value) {
  return std::make_unique<Win32Owned<Kind>>(std::move(value));
}
inline Object make_object(UniqueHandle handle) {
  return own<kind::KernelObject>(std::move(handle));
}
// A file or pipe handle, empty as INVALID_HANDLE_VALUE, held from here on
// like any other kernel handle (a valid handle is never either empty value).
inline Object make_object(UniqueFile handle) {
  return make_object(UniqueHandle(handle.release()));
}

template <class Kind>
auto raw(Owned<Kind>& owner) {
  return static_cast<Win32Owned<Kind>&>(owner).get();
}

}  // namespace bv::platform::win32
