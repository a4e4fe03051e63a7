// The lines a host sends its guardian about the keys and buttons it holds, and the guardian's
// set built from them.
#include "platform/linux/held_input.h"

#include <gtest/gtest.h>

namespace tolvi::platform {
namespace {

TEST(HeldInput, PressesAndReleasesOfKeysAndButtonsLeaveWhatIsStillDown) {
  HeldInput held;
  for (const std::string& line :
       {HeldInput::key_line(50, true), HeldInput::key_line(37, true), HeldInput::key_line(38, true),
        HeldInput::key_line(38, false), HeldInput::button_line(1, true),
        HeldInput::button_line(3, true), HeldInput::button_line(3, false),
        HeldInput::key_line(99, false)}) {
    ASSERT_EQ(line.back(), '\n');
    held.apply(std::string_view(line).substr(0, line.size() - 1));
  }
  EXPECT_EQ(held.keys, (std::set<unsigned>{37, 50}));
  EXPECT_EQ(held.buttons, (std::set<unsigned>{1}));
}

TEST(HeldInput, MalformedLinesChangeNothing) {
  HeldInput held;
  held.apply("k 50 1");
  for (const char* line : {"", "k", "k 50", "k 50 2", "k 50 0 ", "x 50 0", "k50 0", "k -5 1",
                           "k 0 1", "k 256 1", "k 5x 1", "b  1", "k 99999999999999999999 1"}) {
    held.apply(line);
  }
  EXPECT_EQ(held.keys, (std::set<unsigned>{50}));
  EXPECT_TRUE(held.buttons.empty());
}

}  // namespace
}  // namespace tolvi::platform
