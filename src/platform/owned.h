#pragma once
// Owners of what the platform layer hands out: one template, a tag per kind.
// Destroying an owner releases what it owns with the release call of its
// kind; code that must release at a fixed point calls reset() on the owning
// pointer there, and the destructor is the safety net. The logic never sees
// the Win32 value behind an owner.

#include <memory>

namespace bv::platform {

template <class Kind>
class Owned {
 public:
  virtual ~Owned() = default;
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;

  // Gives the resource up without releasing it: destroying the owner
  // afterwards does nothing. For a resource that must outlive the service's
  // use of it, which the process's end then reclaims.
  virtual void abandon() noexcept = 0;

 protected:
  Owned() = default;
};

// The kinds, each with the call that releases it.
namespace kind {
struct KernelObject;        // process, thread, token, event, pipe end, file: CloseHandle
struct SecurityDescriptor;  // converted from SDDL text: LocalFree
struct LoadedProfile;       // UnloadUserProfile, with the token it was loaded for, still open
struct EnvironmentBlock;    // DestroyEnvironmentBlock
struct RegistryKey;         // RegCloseKey
struct ServiceHandle;       // a Service Control Manager or service handle: CloseServiceHandle
struct EventSource;         // a registered event source: DeregisterEventSource
}  // namespace kind

using KernelObject = Owned<kind::KernelObject>;
using SecurityDescriptor = Owned<kind::SecurityDescriptor>;
using LoadedProfile = Owned<kind::LoadedProfile>;
using EnvironmentBlock = Owned<kind::EnvironmentBlock>;
using RegistryKey = Owned<kind::RegistryKey>;
using ServiceHandle = Owned<kind::ServiceHandle>;
using EventSourceHandle = Owned<kind::EventSource>;

using Object = std::unique_ptr<KernelObject>;
using Descriptor = std::unique_ptr<SecurityDescriptor>;
using Profile = std::unique_ptr<LoadedProfile>;
using Environment = std::unique_ptr<EnvironmentBlock>;
using Key = std::unique_ptr<RegistryKey>;
using Service = std::unique_ptr<ServiceHandle>;
using EventSource = std::unique_ptr<EventSourceHandle>;

}  // namespace bv::platform
