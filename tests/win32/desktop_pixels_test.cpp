// Reading a duplicated surface into the desktop image, for each monitor rotation.
#include "platform/win32/desktop_pixels.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tolvi::platform::win32 {
namespace {

// A 3 x 2 surface whose pixels are labelled A..F in their first byte, rows 16 bytes apart.
//   A B C
//   D E F
constexpr std::int32_t kSurfaceWidth = 3;
constexpr std::int32_t kSurfaceHeight = 2;
constexpr std::size_t kPitch = 16;

std::vector<std::uint8_t> labelled_surface() {
  std::vector<std::uint8_t> surface(kPitch * kSurfaceHeight, 0xEE);
  char label = 'A';
  for (std::int32_t v = 0; v < kSurfaceHeight; ++v) {
    for (std::int32_t u = 0; u < kSurfaceWidth; ++u) {
      std::uint8_t* pixel = surface.data() + v * kPitch + u * 4;
      pixel[0] = static_cast<std::uint8_t>(label++);
      pixel[1] = pixel[2] = pixel[3] = 0;
    }
  }
  return surface;
}

// The image's labels row by row, rows separated by '/'.
std::string labels(const DesktopImage& image) {
  std::string text;
  for (std::int32_t y = 0; y < image.height; ++y) {
    if (y) text += '/';
    for (std::int32_t x = 0; x < image.width; ++x) text += static_cast<char>(image.row(y)[4 * x]);
  }
  return text;
}

TEST(DesktopPixels, SurfaceIsTurnedUprightForEachRotation) {
  const struct {
    DXGI_MODE_ROTATION rotation;
    std::int32_t width;
    std::int32_t height;
    const char* expected;
  } cases[] = {
      {DXGI_MODE_ROTATION_UNSPECIFIED, 3, 2, "ABC/DEF"},
      {DXGI_MODE_ROTATION_IDENTITY, 3, 2, "ABC/DEF"},
      {DXGI_MODE_ROTATION_ROTATE90, 2, 3, "DA/EB/FC"},
      {DXGI_MODE_ROTATION_ROTATE180, 3, 2, "FED/CBA"},
      {DXGI_MODE_ROTATION_ROTATE270, 2, 3, "CF/BE/AD"},
  };
  const std::vector<std::uint8_t> surface = labelled_surface();
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.rotation));
    DesktopImage image;
    copy_desktop_pixels(surface.data(), kPitch, kSurfaceWidth, kSurfaceHeight, c.rotation, image);
    EXPECT_EQ(image.width, c.width);
    EXPECT_EQ(image.height, c.height);
    EXPECT_EQ(image.stride, static_cast<std::size_t>(c.width) * 4);
    EXPECT_EQ(labels(image), c.expected);
  }
}

TEST(DesktopPixels, AnImageOfTheRightSizeIsReusedAndOfTheWrongSizeResized) {
  const std::vector<std::uint8_t> surface = labelled_surface();
  DesktopImage image;
  image.resize(2, 3);
  const std::uint8_t* before = image.data();
  copy_desktop_pixels(surface.data(), kPitch, kSurfaceWidth, kSurfaceHeight,
                      DXGI_MODE_ROTATION_ROTATE90, image);
  EXPECT_EQ(image.data(), before);
  copy_desktop_pixels(surface.data(), kPitch, kSurfaceWidth, kSurfaceHeight,
                      DXGI_MODE_ROTATION_IDENTITY, image);
  EXPECT_EQ(labels(image), "ABC/DEF");
}

}  // namespace
}  // namespace tolvi::platform::win32
