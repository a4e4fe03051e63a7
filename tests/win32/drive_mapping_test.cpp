#include <gtest/gtest.h>

#include "platform/win32/net_use_output.h"

namespace tolvi::platform {
namespace {

TEST(NetUseOutput, DriveLetterTable) {
  struct Case {
    const char* output;
    char letter;
  };
  const Case cases[] = {
      {"Drive Z: is now connected to \\\\localhost@1234\\ab\\Photos.\r\n", 'Z'},
      {"Z: is now connected", 'Z'},      // at the very start
      {"(Y:)", 'Y'},                     // after a byte that is not a letter
      {"Drive z: is now connected", 0},  // lower case names no drive
      {"System error 67: NAME:", 0},     // only letters inside words before the colon
      {"A:", 'A'},
      {"X", 0},  // shorter than 2 bytes
      {"", 0},
      {"first W: then V:", 'W'},
  };
  for (const Case& c : cases) EXPECT_EQ(drive_letter_in(c.output), c.letter) << c.output;
}

TEST(NetUseOutput, SharePathAndLabelKey) {
  EXPECT_EQ(webdav_share_path(4711, "0a1b", u"My Photos"), u"\\\\localhost@4711\\0a1b\\My Photos");
  EXPECT_EQ(mount_points_label_key(4711, "0a1b", u"My Photos"),
            u"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MountPoints2\\"
            u"##localhost@4711#0a1b#My Photos");
}

}  // namespace
}  // namespace tolvi::platform
