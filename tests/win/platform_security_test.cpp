#include <gtest/gtest.h>
#include <windows.h>
// After <windows.h>, which declares the types it uses.
#include <sddl.h>

#include <cstring>
#include <string>
#include <vector>

#include "broker/pipe_server.h"
#include "platform/win32/owners.h"
#include "platform/win32/win32_platform.h"
#include "platform_support.h"
#include "support/process.h"

namespace bv::platform::win32 {
namespace {

// The SID of this process's user, through the layer itself.
std::u16string own_sid(Platform& platform) {
  auto process = platform.processes.open_process(process_query_limited_information, GetCurrentProcessId());
  if (!process) return {};
  auto token = platform.processes.open_process_token(**process, token_query);
  if (!token) return {};
  return platform.processes.token_user_sid(**token).value_or(u"");
}

class PlatformSecurity : public ::testing::Test {
 protected:
  Win32Platform win32_;
  Platform& platform_ = win32_.platform();
};

struct SddlCase {
  const char16_t* text;
  bool valid;
  DWORD ace_count;  // of the DACL, when valid
};

TEST_F(PlatformSecurity, ConvertsSddlTextsAndRefusesMalformedOnes) {
  const SddlCase cases[] = {
      {u"D:(A;;GRGW;;;BU)(A;;GA;;;SY)(A;;GA;;;BA)", true, 3},
      {u"D:P(A;;GA;;;SY)(A;;0x00100000;;;S-1-5-21-0-0-0-1000)", true, 2},
      {u"D:P(A;;FA;;;SY)(A;;FA;;;S-1-5-21-1-2-3-500)", true, 2},
      {u"D:(A;;GRGW;;;BU", false, 0},
      {u"D:(A;;GA;;;S-1-5-21-0-0-0-1000", false, 0},
      {u"D:(X;;GA;;;SY)", false, 0},
      {u"no descriptor", false, 0},
  };
  for (const SddlCase& c : cases) {
    SCOPED_TRACE(test::to_utf8(test::wstr(c.text)));
    auto descriptor = platform_.security.convert_sddl(c.text);
    ASSERT_EQ(descriptor.has_value(), c.valid) << (descriptor ? 0u : descriptor.error());
    if (!c.valid) {
      EXPECT_NE(descriptor.error(), 0u);
      continue;
    }
    const PSECURITY_DESCRIPTOR raw_descriptor = raw(**descriptor);
    ASSERT_TRUE(IsValidSecurityDescriptor(raw_descriptor));
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(raw_descriptor, &present, &dacl, &defaulted));
    ASSERT_TRUE(present);
    ASSERT_NE(dacl, nullptr);
    EXPECT_EQ(dacl->AceCount, c.ace_count);
  }
}

// Wine ignores integrity labels, so that a process below medium is refused
// cannot be shown here; what can be is that the label is in the descriptor
// as Windows would apply it, and the DACL as before.
TEST_F(PlatformSecurity, PipeDescriptorAddsAMediumNoReadUpNoWriteUpLabelToItsDacl) {
  auto descriptor = platform_.security.convert_sddl(broker::pipe_sddl);
  ASSERT_TRUE(descriptor.has_value()) << descriptor.error();
  const PSECURITY_DESCRIPTOR raw_descriptor = raw(**descriptor);
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorDacl(raw_descriptor, &present, &dacl, &defaulted));
  ASSERT_TRUE(present && dacl != nullptr);
  EXPECT_EQ(dacl->AceCount, 3u);

  PACL sacl = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorSacl(raw_descriptor, &present, &sacl, &defaulted));
  ASSERT_TRUE(present && sacl != nullptr);
  ASSERT_EQ(sacl->AceCount, 1u);
  void* ace = nullptr;
  ASSERT_TRUE(GetAce(sacl, 0, &ace));
  const auto* label = static_cast<const SYSTEM_MANDATORY_LABEL_ACE*>(ace);
  EXPECT_EQ(label->Header.AceType, SYSTEM_MANDATORY_LABEL_ACE_TYPE);
  EXPECT_EQ(label->Mask,
            static_cast<ACCESS_MASK>(SYSTEM_MANDATORY_LABEL_NO_WRITE_UP | SYSTEM_MANDATORY_LABEL_NO_READ_UP));
  UniqueLocal<LPWSTR> sid;
  ASSERT_TRUE(ConvertSidToStringSidW(const_cast<DWORD*>(&label->SidStart), sid.put()));
  EXPECT_EQ(std::wstring(sid.get()), L"S-1-16-8192");  // SECURITY_MANDATORY_MEDIUM_RID
}

TEST_F(PlatformSecurity, ShutdownEventGrantsTheAccountOnlySynchronize) {
  const std::u16string sid = own_sid(platform_);
  ASSERT_EQ(sid.rfind(u"S-1-5-21-", 0), 0u) << test::to_utf8(test::wstr(sid));
  auto descriptor = platform_.security.convert_sddl(u"D:P(A;;GA;;;SY)(A;;0x00100000;;;" + sid + u")");
  ASSERT_TRUE(descriptor.has_value()) << descriptor.error();
  const std::u16string name = test::u16(test::unique_name(L"brisvander-shutdown-"));
  auto event = platform_.processes.create_event(descriptor->get(), name);
  ASSERT_TRUE(event.has_value()) << event.error();
  EXPECT_FALSE(event->already_existed);
  descriptor->reset();

  const UniqueHandle modify(OpenEventW(EVENT_MODIFY_STATE, FALSE, test::wstr(name).c_str()));
  EXPECT_FALSE(modify);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  const UniqueHandle synchronize(OpenEventW(SYNCHRONIZE, FALSE, test::wstr(name).c_str()));
  ASSERT_TRUE(synchronize) << GetLastError();

  // Manual reset, created non-signalled; the creator's handle may set it.
  EXPECT_EQ(WaitForSingleObject(synchronize.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  platform_.processes.set_event(*event->handle);
  EXPECT_EQ(WaitForSingleObject(synchronize.get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(synchronize.get(), 0), WAIT_OBJECT_0) << "a manual-reset event stays set";
  DWORD flags = 0;
  ASSERT_TRUE(GetHandleInformation(raw(*event->handle), &flags));
  EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);
}

TEST_F(PlatformSecurity, EventWithoutDescriptorHasDefaultSecurityAndSharesItsName) {
  const std::u16string name = test::u16(test::unique_name(L"brisvander-shutdown-"));
  // A last error left over from an earlier call says nothing of this one.
  SetLastError(ERROR_ALREADY_EXISTS);
  auto first = platform_.processes.create_event(nullptr, name);
  ASSERT_TRUE(first.has_value()) << first.error();
  EXPECT_FALSE(first->already_existed);
  const UniqueHandle modify(OpenEventW(EVENT_MODIFY_STATE, FALSE, test::wstr(name).c_str()));
  EXPECT_TRUE(modify) << GetLastError();
  // An event of that name exists already: the call opens it, and says so,
  // with a descriptor or without.
  auto second = platform_.processes.create_event(nullptr, name);
  ASSERT_TRUE(second.has_value()) << second.error();
  EXPECT_TRUE(second->already_existed);
  auto descriptor = platform_.security.convert_sddl(u"D:P(A;;GA;;;SY)");
  ASSERT_TRUE(descriptor.has_value()) << descriptor.error();
  auto third = platform_.processes.create_event(descriptor->get(), name);
  ASSERT_TRUE(third.has_value()) << third.error();
  EXPECT_TRUE(third->already_existed);
  platform_.processes.set_event(*first->handle);
  EXPECT_EQ(platform_.processes.wait(*second->handle, 0), wait_object_0);
}

// HKLM\SOFTWARE\BrisvanderTest with a few values, removed afterwards.
class PlatformRegistry : public ::testing::Test {
 protected:
  static constexpr const wchar_t* key_path = L"SOFTWARE\\BrisvanderTest";

  void SetUp() override {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key_path, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    key_.reset(key);
  }
  void TearDown() override {
    key_.reset();
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, key_path);
  }

  void set_value(const wchar_t* name, DWORD type, const void* data, DWORD size) {
    ASSERT_EQ(RegSetValueExW(key_.get(), name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
  }
  void set_string(const wchar_t* name, DWORD type, std::wstring_view text) {
    set_value(name, type, text.data(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  }

  Key open() {
    auto key = platform_.security.open_local_machine_key(u"SOFTWARE\\BrisvanderTest", key_query_value);
    EXPECT_TRUE(key.has_value()) << (key ? 0 : key.error());
    return key ? std::move(*key) : nullptr;
  }

  static std::vector<std::uint8_t> utf16le_with_zero(std::u16string_view text) {
    std::vector<std::uint8_t> bytes;
    for (const char16_t unit : text) {
      bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
      bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    bytes.insert(bytes.end(), {0, 0});
    return bytes;
  }

  UniqueKey key_;
  Win32Platform win32_;
  Platform& platform_ = win32_.platform();
};

TEST_F(PlatformRegistry, ReadsAStringValueInTwoQueries) {
  set_string(L"SvcUserPwd", REG_SZ, L"0123456789ABCDEF0123aB1!\u00e9");
  Key key = open();
  ASSERT_TRUE(key);
  const RegistryValue size = platform_.security.query_value_size(*key, u"SvcUserPwd");
  EXPECT_EQ(size.status, 0);
  EXPECT_EQ(size.type, reg_sz);
  EXPECT_EQ(size.size, 26u * 2);
  EXPECT_TRUE(size.data.empty());

  const RegistryValue data = platform_.security.query_value_data(*key, u"SvcUserPwd", size.size);
  EXPECT_EQ(data.status, 0);
  EXPECT_EQ(data.type, reg_sz);
  EXPECT_EQ(data.size, size.size);
  EXPECT_EQ(data.data, utf16le_with_zero(u"0123456789ABCDEF0123aB1!\u00e9"));
}

TEST_F(PlatformRegistry, ReportsTypesSizesAndStatusesAsTheyAre) {
  set_string(L"Expand", REG_EXPAND_SZ, L"%TEMP%\\x");
  const DWORD number = 7;
  set_value(L"Number", REG_DWORD, &number, sizeof number);
  set_value(L"Empty", REG_SZ, nullptr, 0);
  const char odd[] = {'a', 0, 'b'};
  set_value(L"Odd", REG_SZ, odd, 3);
  Key key = open();
  ASSERT_TRUE(key);

  struct Case {
    const char16_t* name;
    std::int32_t status;
    std::uint32_t type;
    std::vector<std::uint8_t> data;
  };
  const Case cases[] = {
      {u"Expand", 0, REG_EXPAND_SZ, utf16le_with_zero(u"%TEMP%\\x")},  // not expanded
      {u"Number", 0, REG_DWORD, {7, 0, 0, 0}},
      {u"Empty", 0, REG_SZ, {}},
      {u"Odd", 0, REG_SZ, {'a', 0, 'b'}},
      {u"Missing", ERROR_FILE_NOT_FOUND, 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(test::to_utf8(test::wstr(c.name)));
    const RegistryValue size = platform_.security.query_value_size(*key, c.name);
    EXPECT_EQ(size.status, c.status);
    EXPECT_EQ(size.size, c.data.size());
    const RegistryValue data = platform_.security.query_value_data(*key, c.name, size.size);
    EXPECT_EQ(data.status, c.status);
    EXPECT_EQ(data.type, c.type);
    EXPECT_EQ(data.data, c.data);
  }
}

TEST_F(PlatformRegistry, DataQueryIntoATooSmallBufferReportsMoreData) {
  set_string(L"SvcUserPwd", REG_SZ, L"0123456789ABCDEF0123aB1!");
  Key key = open();
  ASSERT_TRUE(key);
  const RegistryValue data = platform_.security.query_value_data(*key, u"SvcUserPwd", 10);
  EXPECT_EQ(data.status, ERROR_MORE_DATA);
  EXPECT_EQ(data.size, 50u) << "the size needed";
  EXPECT_TRUE(data.data.empty());
}

TEST_F(PlatformRegistry, MissingKeyIsTheOpenStatus) {
  const auto key = platform_.security.open_local_machine_key(u"SOFTWARE\\BrisvanderTest\\Missing", key_query_value);
  ASSERT_FALSE(key.has_value());
  EXPECT_EQ(key.error(), ERROR_FILE_NOT_FOUND);
}

}  // namespace
}  // namespace bv::platform::win32
