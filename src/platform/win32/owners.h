#pragma once
// The Win32 owners behind the portable owner types of platform/owned.h. Each
// holds one unique handle; code in this layer gets the raw value back with a
// static_cast to the concrete type, since every owner it receives was made
// here.

#include <windows.h>

#include <memory>
#include <utility>

#include "platform/owned.h"
#include "platform/win32/unique_handle.h"

namespace bv::platform::win32 {

class Win32Object final : public KernelObject {
 public:
  explicit Win32Object(UniqueHandle handle) : handle_(std::move(handle)) {}
  HANDLE get() const { return handle_.get(); }

 private:
  UniqueHandle handle_;
};

class Win32Descriptor final : public SecurityDescriptor {
 public:
  explicit Win32Descriptor(UniqueLocal<PSECURITY_DESCRIPTOR> descriptor) : descriptor_(std::move(descriptor)) {}
  PSECURITY_DESCRIPTOR get() const { return descriptor_.get(); }

 private:
  UniqueLocal<PSECURITY_DESCRIPTOR> descriptor_;
};

class Win32Profile final : public LoadedProfile {
 public:
  explicit Win32Profile(UniqueProfile profile) : profile_(std::move(profile)) {}
  // The profile's registry handle stays open until the process ends; the
  // service gives a profile up only as it stops serving.
  void leave_loaded() override { static_cast<void>(profile_.release()); }

 private:
  UniqueProfile profile_;
};

class Win32Environment final : public EnvironmentBlock {
 public:
  explicit Win32Environment(UniqueEnvironment block) : block_(std::move(block)) {}
  void* get() const { return block_.get(); }

 private:
  UniqueEnvironment block_;
};

class Win32Key final : public RegistryKey {
 public:
  explicit Win32Key(UniqueKey key) : key_(std::move(key)) {}
  HKEY get() const { return key_.get(); }

 private:
  UniqueKey key_;
};

class Win32Service final : public ServiceHandle {
 public:
  explicit Win32Service(UniqueServiceHandle handle) : handle_(std::move(handle)) {}
  SC_HANDLE get() const { return handle_.get(); }

 private:
  UniqueServiceHandle handle_;
};

// Hands a valid handle to a portable owner. The owner never holds an empty
// handle: failures are reported before anything is wrapped.
inline Object make_object(UniqueHandle handle) {
  return std::make_unique<Win32Object>(std::move(handle));
}
inline Object make_object(UniqueFile handle) {
  return make_object(UniqueHandle(handle.release()));
}

inline HANDLE raw(KernelObject& object) {
  return static_cast<Win32Object&>(object).get();
}
inline PSECURITY_DESCRIPTOR raw(SecurityDescriptor& descriptor) {
  return static_cast<Win32Descriptor&>(descriptor).get();
}
inline void* raw(EnvironmentBlock& block) {
  return static_cast<Win32Environment&>(block).get();
}
inline HKEY raw(RegistryKey& key) {
  return static_cast<Win32Key&>(key).get();
}
inline SC_HANDLE raw(ServiceHandle& service) {
  return static_cast<Win32Service&>(service).get();
}

}  // namespace bv::platform::win32
