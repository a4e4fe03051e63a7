// The encoder catalogue's two hardware lists merged, and who gets the capture device.
#include "platform/win32/encoder_listing.h"

#include <gtest/gtest.h>

#include <vector>

namespace tolvi::platform::win32 {
namespace {

constexpr std::uint64_t kCaptureAdapter = 0x3f0;
constexpr std::uint64_t kOtherAdapter = 0x7a2;

// The capture adapter's list first (every entry on that adapter), then the list of all, which
// repeats it: each encoder is kept once, with its adapter.
TEST(EncoderListing, SecondListAddsOnlyEncodersTheFirstDidNotHave) {
  struct Entry {
    const char* class_id;
    std::optional<std::uint64_t> adapter;
    bool kept;
  };
  const std::vector<Entry> entries = {
      // Filtered by the capture adapter.
      {"nvenc-hevc", kCaptureAdapter, true},
      {"nvenc-h264", kCaptureAdapter, true},
      // All: the same two again (naming their adapter, or not), the same class on another
      // adapter, and one only the second list has.
      {"nvenc-hevc", kCaptureAdapter, false},
      {"nvenc-h264", std::nullopt, false},
      {"nvenc-h264", kOtherAdapter, true},
      {"qsv-h264", std::nullopt, true},
      {"qsv-h264", std::nullopt, false},
  };
  EncoderListing listing;
  for (const Entry& e : entries) {
    EXPECT_EQ(listing.keep(e.class_id, e.adapter), e.kept)
        << e.class_id << " " << e.adapter.value_or(0);
  }
}

TEST(EncoderListing, CaptureDeviceGoesOnlyToEncodersOnItsAdapter) {
  EXPECT_TRUE(offer_capture_device(kCaptureAdapter, kCaptureAdapter));
  EXPECT_FALSE(offer_capture_device(kOtherAdapter, kCaptureAdapter));
  EXPECT_FALSE(offer_capture_device(std::nullopt, kCaptureAdapter));  // MFTEnumEx: unknown
  EXPECT_FALSE(offer_capture_device(std::uint64_t{0}, 0));           // no device
}

}  // namespace
}  // namespace tolvi::platform::win32
