#include "enclave/account_password.h"

#include <utility>

namespace bv::enclave {

AccountPassword::AccountPassword(SecretString password, Reader read_stored)
    : password_(std::move(password)), read_stored_(std::move(read_stored)) {}

bool AccountPassword::reload() {
  const std::optional<SecretString> stored = read_stored_();
  if (!stored || stored->get() == password_.get()) return false;
  // The old password is zeroed over the buffer's whole capacity before the
  // new one is copied in, so the buffer never holds what is left of it. A
  // longer password moves the string to a larger buffer and frees this one,
  // already zeroed.
  bv::wipe(password_.get());
  password_.get().append(stored->get());
  return true;
}

void AccountPassword::wipe() {
  bv::wipe(password_.get());
}

}  // namespace bv::enclave
