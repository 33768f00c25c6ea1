#include "platform/win32/trust.h"

#include <windows.h>
// These need the types that windows.h declares.
#include <softpub.h>
#include <wintrust.h>

#include <cstddef>
#include <string>

#include "platform/win32/wide.h"

namespace bv::platform::win32 {
namespace {

// The structure's size without the signature-settings pointer that newer
// SDK headers append: the form that every version of WinVerifyTrust takes.
constexpr DWORD wintrust_data_size = offsetof(WINTRUST_DATA, dwUIContext) + sizeof(DWORD);

static_assert(trust_cache_only_url_retrieval == WTD_CACHE_ONLY_URL_RETRIEVAL);

#ifdef _WIN64
static_assert(wintrust_data_size == 80);
static_assert(sizeof(WINTRUST_FILE_INFO) == 32);
#endif

}  // namespace

std::uint32_t Win32Trust::verify_file(std::u16string_view path, std::uint32_t provider_flags) {
  const std::u16string file_path(path);

  WINTRUST_FILE_INFO file{};
  file.cbStruct = sizeof(WINTRUST_FILE_INFO);
  file.pcwszFilePath = wide(file_path);
  file.hFile = nullptr;
  file.pgKnownSubject = nullptr;

  WINTRUST_DATA data{};
  data.cbStruct = wintrust_data_size;
  data.pPolicyCallbackData = nullptr;
  data.pSIPClientData = nullptr;
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_IGNORE;  // nothing is kept, so no closing call follows
  data.hWVTStateData = nullptr;
  data.pwszURLReference = nullptr;
  data.dwProvFlags = provider_flags;
  data.dwUIContext = WTD_UICONTEXT_EXECUTE;

  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const LONG result = ::WinVerifyTrust(nullptr, &action, &data);
  return static_cast<std::uint32_t>(result);
}

}  // namespace bv::platform::win32
