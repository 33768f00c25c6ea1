#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

#include "enclave/account_password.h"

namespace bv::enclave {
namespace {

TEST(AccountPassword, ChangedPasswordTakesTheBufferOfTheOldOneOnlyAfterWipingIt) {
  const std::string old_password = "0123456789ABCDEF0123aB3!";  // longer than any short-string buffer
  AccountPassword password(SecretString(std::string(old_password)),
                           [] { return std::optional<SecretString>(SecretString(std::string("new"))); });
  const char* const held = password.get().data();

  ASSERT_TRUE(password.reload());

  EXPECT_EQ(password.get(), "new");
  ASSERT_EQ(password.get().data(), held);
  // Nothing of the old password is left past the new one (an assignment
  // would copy "new" over its first bytes and leave the rest).
  EXPECT_EQ(std::string_view(held, old_password.size()), "new" + std::string(old_password.size() - 3, '\0'));
}

}  // namespace
}  // namespace bv::enclave
