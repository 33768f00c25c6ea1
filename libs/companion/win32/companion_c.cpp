// The C interface of the companion side (brisvander/companion.h). No
// exception leaves it: a failure to allocate becomes BV_E_SYSTEM.

#include <exception>
#include <new>
#include <string>

#include "brisvander/companion.h"
#include "companion/request.h"
#include "companion/win32/companion_system_win32.h"
#include "secret/secret.h"
#include "shared/text.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "the enclave path is UTF-16");

extern "C" int bv_request_enclave(const wchar_t* enclave_path, uint32_t timeout_ms, bv_grant* grant, char* message,
                                  size_t message_size) {
  using bv::sides::copy_message;
  if (grant != nullptr) bv::secure_zero(grant, sizeof *grant);
  if (message == nullptr && message_size != 0) return BV_E_ARGUMENT;
  copy_message({}, message, message_size);
  if (enclave_path == nullptr || grant == nullptr) {
    copy_message(enclave_path == nullptr ? "enclave_path is NULL" : "grant is NULL", message, message_size);
    return BV_E_ARGUMENT;
  }
  try {
    const std::wstring_view wide_path(enclave_path);
    const std::u16string path(wide_path.begin(), wide_path.end());
    bv::companion_side::Win32CompanionSystem system;
    const bv::companion_side::RequestResult result =
        bv::companion_side::request_enclave(system, path, timeout_ms, *grant);
    copy_message(result.message, message, message_size);
    return result.code;
  } catch (const std::bad_alloc&) {
    bv::secure_zero(grant, sizeof *grant);
    copy_message("out of memory", message, message_size);
    return BV_E_SYSTEM;
  } catch (const std::exception& failure) {
    bv::secure_zero(grant, sizeof *grant);
    copy_message(std::string("unexpected failure: ") + failure.what(), message, message_size);
    return BV_E_SYSTEM;
  }
}

extern "C" void bv_grant_wipe(bv_grant* grant) {
  if (grant != nullptr) bv::secure_zero(grant, sizeof *grant);
}
