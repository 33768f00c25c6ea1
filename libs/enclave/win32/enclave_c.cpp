// The C interface of the enclave side (brisvander/enclave.h). No exception
// leaves it: a failure to allocate becomes BV_ENCLAVE_E_SYSTEM.

#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "brisvander/enclave.h"
#include "enclave/hand_over.h"
#include "enclave/win32/enclave_system_win32.h"
#include "shared/text.h"

static_assert(bv::enclave_side::secret_size == 32, "bv_enclave_copy_secret copies 32 bytes");

// The handle that bv_enclave_begin gives out: the checked hand-over, with
// the texts in the forms the accessors return.
struct bv_enclave {
  std::unique_ptr<bv::enclave_side::HandOver> hand_over;
  std::string pipe_token;
  std::optional<std::wstring> allowed_sid;
};

extern "C" int bv_enclave_begin(bv_enclave** enclave, char* message, size_t message_size) {
  using bv::sides::copy_message;
  if (enclave != nullptr) *enclave = nullptr;
  if (message == nullptr && message_size != 0) return BV_ENCLAVE_E_ARGUMENT;
  copy_message({}, message, message_size);
  if (enclave == nullptr) {
    copy_message("enclave is NULL", message, message_size);
    return BV_ENCLAVE_E_ARGUMENT;
  }
  try {
    bv::enclave_side::Win32EnclaveSystem system;
    auto hand_over = bv::enclave_side::begin_hand_over(system);
    if (!hand_over) {
      copy_message(hand_over.error().message, message, message_size);
      return hand_over.error().code;
    }
    auto made = std::make_unique<bv_enclave>();
    // The token is 32 hexadecimal digits, so ASCII.
    made->pipe_token.assign((*hand_over)->pipe_token.begin(), (*hand_over)->pipe_token.end());
    if ((*hand_over)->allowed_sid) {
      made->allowed_sid.emplace((*hand_over)->allowed_sid->begin(), (*hand_over)->allowed_sid->end());
    }
    made->hand_over = std::move(*hand_over);
    *enclave = made.release();
    return BV_ENCLAVE_OK;
  } catch (const std::bad_alloc&) {
    copy_message("out of memory", message, message_size);
    return BV_ENCLAVE_E_SYSTEM;
  } catch (const std::exception& failure) {
    copy_message(std::string("unexpected failure: ") + failure.what(), message, message_size);
    return BV_ENCLAVE_E_SYSTEM;
  }
}

extern "C" const char* bv_enclave_pipe_token(const bv_enclave* enclave) {
  return enclave == nullptr ? nullptr : enclave->pipe_token.c_str();
}

extern "C" const wchar_t* bv_enclave_allowed_sid(const bv_enclave* enclave) {
  return enclave == nullptr || !enclave->allowed_sid ? nullptr : enclave->allowed_sid->c_str();
}

extern "C" int bv_enclave_copy_secret(const bv_enclave* enclave, unsigned char secret[32]) {
  if (enclave == nullptr || secret == nullptr) return BV_ENCLAVE_E_ARGUMENT;
  const auto& bytes = enclave->hand_over->secret.get();
  std::memcpy(secret, bytes.data(), bytes.size());
  return BV_ENCLAVE_OK;
}

extern "C" void* bv_enclave_shutdown_event(const bv_enclave* enclave) {
  if (enclave == nullptr || !enclave->hand_over->shutdown_event) return nullptr;
  return enclave->hand_over->shutdown_event->native_handle();
}

extern "C" void bv_enclave_end(bv_enclave* enclave) {
  // The hand-over's secret is wiped and its event closed as it goes.
  delete enclave;
}
