#pragma once
#include <functional>
#include <optional>
#include <string_view>

#include "secret/secret.h"

namespace bv::enclave {

// The isolation account's password as the service holds it: read once at
// start, lent to every launch, and read again when a logon is refused for a
// wrong password, so that a password stored by a second provisioning run is
// taken up without a restart. Owned by whoever runs the service; used on the
// serving thread alone.
class AccountPassword {
 public:
  // Reads the stored password; none when it cannot be read (the reader says
  // why where it should be said).
  using Reader = std::function<std::optional<SecretString>()>;

  AccountPassword(SecretString password, Reader read_stored);

  std::string_view get() const { return password_.get(); }

  // Reads the stored password again. When it reads and differs from the one
  // held, the one held is wiped and the new one takes its place: true.
  // Otherwise nothing changes: false.
  bool reload();

  // Wipes the password held; at the end of the service.
  void wipe();

 private:
  SecretString password_;
  Reader read_stored_;
};

}  // namespace bv::enclave
