#pragma once
#include <cstdint>
#include <vector>

#include "tray/tray_status.h"

namespace tolvi {

// The tray icon's picture, drawn by our code so that it looks the same on every desktop: a
// monitor on a stand whose screen shows the status. Pixels are 0xAARRGGBB, rows top-down.
constexpr std::uint32_t kPictureFrame = 0xFFE8E8E8;
constexpr std::uint32_t kScreenError = 0xFFD04040;
constexpr std::uint32_t kScreenConnected = 0xFF2EB84A;
constexpr std::uint32_t kScreenWaiting = 0xFF3A3F47;
constexpr int kMinIconSize = 16;

// The picture's side for the platform's small-icon size: the metric when it is 17 or more.
int tray_picture_size(int small_icon_metric);

// A size x size picture (size >= 1), transparent outside the shapes.
std::vector<std::uint32_t> draw_tray_picture(int size, StatusKind kind);

}  // namespace tolvi
