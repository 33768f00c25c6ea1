#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/win32/owners.h"
#include "platform/win32/win32_platform.h"
#include "platform_support.h"
#include "support/process.h"

namespace bv::platform::win32 {
namespace {

constexpr std::uint32_t sc_manager_connect = 0x0001;
constexpr std::uint32_t sc_manager_connect_create = 0x0003;
constexpr std::uint32_t service_all_access = 0xF01FF;
constexpr std::uint32_t service_query_status = 0x0004;
constexpr std::uint32_t delete_access = 0x00010000;
constexpr ErrorCode error_service_does_not_exist = 1060;

class PlatformServiceControl : public ::testing::Test {
 protected:
  Service open_manager(std::uint32_t access) {
    auto manager = services_.open_manager(access);
    EXPECT_TRUE(manager.has_value()) << manager.error();
    return manager ? std::move(*manager) : nullptr;
  }

  Win32Platform win32_;
  ServiceControl& services_ = win32_.platform().services;
};

TEST_F(PlatformServiceControl, MissingServiceCannotBeOpened) {
  Service manager = open_manager(sc_manager_connect);
  ASSERT_TRUE(manager);
  const auto service = services_.open_service(*manager, u"BvPlatformTestNoSuchService", service_query_status);
  ASSERT_FALSE(service.has_value());
  EXPECT_EQ(service.error(), error_service_does_not_exist);
}

TEST_F(PlatformServiceControl, CreatesTheRegistrationItWasGivenAndDeletesIt) {
  const std::u16string name = test::u16(test::unique_name(L"BvPlatformTest"));
  const std::u16string binary_path = u"\"C:\\Program Files\\Brisvander Test\\svc.exe\"";
  Service manager = open_manager(sc_manager_connect_create);
  ASSERT_TRUE(manager);
  // Demand start, unlike the product's automatic start: Wine starts
  // automatic services of the prefix on its own.
  const ServiceDefinition definition{.name = name,
                                     .display_name = u"Brisvander Platform Test",
                                     .access = service_all_access,
                                     .service_type = SERVICE_WIN32_OWN_PROCESS,
                                     .start_type = SERVICE_DEMAND_START,
                                     .error_control = SERVICE_ERROR_NORMAL,
                                     .binary_path = binary_path};
  auto created = services_.create_service(*manager, definition);
  ASSERT_TRUE(created.has_value()) << created.error();

  DWORD needed = 0;
  QueryServiceConfigW(raw(**created), nullptr, 0, &needed);
  ASSERT_GT(needed, 0u);
  std::vector<std::byte> buffer(needed);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  ASSERT_TRUE(QueryServiceConfigW(raw(**created), config, needed, &needed)) << GetLastError();
  EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_DEMAND_START));
  EXPECT_EQ(config->dwErrorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
  EXPECT_EQ(test::u16(config->lpBinaryPathName), binary_path);
  EXPECT_EQ(test::u16(config->lpDisplayName), u"Brisvander Platform Test");
  EXPECT_EQ(test::u16(config->lpServiceStartName), u"LocalSystem");
  EXPECT_EQ(test::u16(config->lpLoadOrderGroup ? config->lpLoadOrderGroup : L""), u"");
  EXPECT_EQ(config->lpDependencies ? config->lpDependencies[0] : L'\0', L'\0');
  created->reset();

  const auto duplicate = services_.create_service(*manager, definition);
  ASSERT_FALSE(duplicate.has_value());
  EXPECT_EQ(duplicate.error(), error_service_exists);

  auto for_delete = services_.open_service(*manager, name, delete_access);
  ASSERT_TRUE(for_delete.has_value()) << for_delete.error();
  EXPECT_TRUE(services_.delete_service(**for_delete).has_value());
  for_delete->reset();
  const auto gone = services_.open_service(*manager, name, service_query_status);
  ASSERT_FALSE(gone.has_value());
  EXPECT_EQ(gone.error(), error_service_does_not_exist);
}

TEST_F(PlatformServiceControl, StatusReportWithoutARegisteredHandlerFails) {
  const auto reported = services_.set_status(StatusHandle{0}, ServiceStatus{.service_type = 0x10, .current_state = 4});
  ASSERT_FALSE(reported.has_value());
  EXPECT_EQ(reported.error(), static_cast<ErrorCode>(ERROR_INVALID_HANDLE));
}

std::uint32_t never_called(std::uint32_t, std::uint32_t, void*, void*) {
  return 0;
}

TEST_F(PlatformServiceControl, HandlerCannotBeRegisteredOutsideTheDispatcher) {
  // Wine answers ERROR_SERVICE_DOES_NOT_EXIST; Windows may name another reason.
  const auto handle = services_.register_control_handler(u"BvPlatformTestNoSuchService", never_called, nullptr);
  ASSERT_FALSE(handle.has_value());
  EXPECT_NE(handle.error(), 0u);
}

}  // namespace
}  // namespace bv::platform::win32
