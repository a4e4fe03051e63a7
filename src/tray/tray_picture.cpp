#include "tray/tray_picture.h"

#include <algorithm>

namespace tolvi {
namespace {

// The picture is laid out on a 16-unit grid scaled to the size.
constexpr double kGridUnit = 1.0 / 16.0;

struct GridRect {
  int x0, x1, y0, y1;
};
constexpr GridRect kFrame{1, 15, 2, 12};
constexpr GridRect kScreen{2, 14, 3, 11};
constexpr GridRect kNeck{7, 9, 12, 14};
constexpr GridRect kBase{4, 12, 14, 15};

std::uint32_t screen_colour(StatusKind kind) {
  switch (kind) {
    case StatusKind::Error:
      return kScreenError;
    case StatusKind::Connected:
      return kScreenConnected;
    case StatusKind::Waiting:
      break;
  }
  return kScreenWaiting;
}

}  // namespace

int tray_picture_size(int small_icon_metric) {
  return small_icon_metric > kMinIconSize ? small_icon_metric : kMinIconSize;
}

std::vector<std::uint32_t> draw_tray_picture(int size, StatusKind kind) {
  std::vector<std::uint32_t> pixels(static_cast<std::size_t>(size) * size, 0);
  const double unit = size * kGridUnit;
  const auto edge = [unit](int k) { return static_cast<int>(k * unit + 0.5); };
  const auto fill = [&](const GridRect& r, std::uint32_t colour) {
    const int x0 = std::max(edge(r.x0), 0), x1 = std::min(edge(r.x1), size);
    const int y0 = std::max(edge(r.y0), 0), y1 = std::min(edge(r.y1), size);
    for (int y = y0; y < y1; ++y) {
      for (int x = x0; x < x1; ++x) pixels[static_cast<std::size_t>(y) * size + x] = colour;
    }
  };
  fill(kFrame, kPictureFrame);
  fill(kScreen, screen_colour(kind));
  fill(kNeck, kPictureFrame);
  fill(kBase, kPictureFrame);
  return pixels;
}

}  // namespace tolvi
