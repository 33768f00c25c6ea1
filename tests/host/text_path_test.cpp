#include <gtest/gtest.h>

#include "text/path.h"

namespace bv::text {
namespace {

TEST(JoinPath, OneBackslashUnlessTheDirectoryEndsWithASeparator) {
  EXPECT_EQ(join_path(u"C:\\Temp\\", u"f.ps1"), u"C:\\Temp\\f.ps1");
  EXPECT_EQ(join_path(u"C:\\Temp", u"f.ps1"), u"C:\\Temp\\f.ps1");
  EXPECT_EQ(join_path(u"C:/Temp/", u"f.ps1"), u"C:/Temp/f.ps1");
  EXPECT_EQ(join_path(u"", u"f.ps1"), u"f.ps1");
}

}  // namespace
}  // namespace bv::text
