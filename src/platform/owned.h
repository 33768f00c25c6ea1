#pragma once
// Owners of the objects the platform layer hands out. Each owner closes its
// object in its destructor; code that must close at a fixed point calls
// reset() on the owning pointer there, and the destructor is the safety net.
// The logic never sees the Win32 value behind an owner.

#include <memory>

namespace bv::platform {

// A kernel object handle (process, thread, token, event, pipe end, file).
// Destroying it is CloseHandle.
class KernelObject {
 public:
  virtual ~KernelObject() = default;
  KernelObject(const KernelObject&) = delete;
  KernelObject& operator=(const KernelObject&) = delete;

 protected:
  KernelObject() = default;
};
using Object = std::unique_ptr<KernelObject>;

// A security descriptor converted from SDDL text. Destroying it is LocalFree.
class SecurityDescriptor {
 public:
  virtual ~SecurityDescriptor() = default;
  SecurityDescriptor(const SecurityDescriptor&) = delete;
  SecurityDescriptor& operator=(const SecurityDescriptor&) = delete;

 protected:
  SecurityDescriptor() = default;
};
using Descriptor = std::unique_ptr<SecurityDescriptor>;

// A user profile loaded for a token. Destroying it is UnloadUserProfile
// (with the token it was loaded for, which must still be open).
class LoadedProfile {
 public:
  virtual ~LoadedProfile() = default;
  // Gives the profile up without unloading it, for a profile that a process
  // still running under the account uses: destroying it afterwards does
  // nothing.
  virtual void leave_loaded() = 0;
  LoadedProfile(const LoadedProfile&) = delete;
  LoadedProfile& operator=(const LoadedProfile&) = delete;

 protected:
  LoadedProfile() = default;
};
using Profile = std::unique_ptr<LoadedProfile>;

// An environment block made for a token. Destroying it is
// DestroyEnvironmentBlock.
class EnvironmentBlock {
 public:
  virtual ~EnvironmentBlock() = default;
  EnvironmentBlock(const EnvironmentBlock&) = delete;
  EnvironmentBlock& operator=(const EnvironmentBlock&) = delete;

 protected:
  EnvironmentBlock() = default;
};
using Environment = std::unique_ptr<EnvironmentBlock>;

// An open registry key. Destroying it is RegCloseKey.
class RegistryKey {
 public:
  virtual ~RegistryKey() = default;
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;

 protected:
  RegistryKey() = default;
};
using Key = std::unique_ptr<RegistryKey>;

// A Service Control Manager or service handle. Destroying it is
// CloseServiceHandle.
class ServiceHandle {
 public:
  virtual ~ServiceHandle() = default;
  ServiceHandle(const ServiceHandle&) = delete;
  ServiceHandle& operator=(const ServiceHandle&) = delete;

 protected:
  ServiceHandle() = default;
};
using Service = std::unique_ptr<ServiceHandle>;

}  // namespace bv::platform
