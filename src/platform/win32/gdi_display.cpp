// Display modes through the GDI display settings (a CDS_FULLSCREEN switch is temporary: the
// system puts the stored mode back when the process ends, however it ends) and scaling
// through the display-configuration device-information packets.
#include <windows.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "platform/display.h"
#include "platform/win32/gdi_device_name.h"
#include "platform/win32/wide_text.h"

namespace tolvi::platform {

namespace {

// The packets, byte for byte: every one starts with the 20-byte header (type, size, adapter
// LUID low and high, source id).
static_assert(sizeof(DISPLAYCONFIG_DEVICE_INFO_HEADER) == 20);
static_assert(offsetof(DISPLAYCONFIG_DEVICE_INFO_HEADER, size) == 4);
static_assert(offsetof(DISPLAYCONFIG_DEVICE_INFO_HEADER, adapterId) == 8);
static_assert(offsetof(DISPLAYCONFIG_DEVICE_INFO_HEADER, id) == 16);
static_assert(sizeof(DISPLAYCONFIG_SOURCE_DEVICE_NAME) == 84);
static_assert(offsetof(DISPLAYCONFIG_SOURCE_DEVICE_NAME, viewGdiDeviceName) == 20);
static_assert(sizeof(DEVMODEW) == 220);

// Relative scale get (type -3, 32 bytes): minimum, current and maximum step at 20, 24, 28.
struct RelativeScaleGetPacket {
  DISPLAYCONFIG_DEVICE_INFO_HEADER header;
  std::int32_t minimum;
  std::int32_t current;
  std::int32_t maximum;
};
static_assert(sizeof(RelativeScaleGetPacket) == 32);
static_assert(offsetof(RelativeScaleGetPacket, minimum) == 20);
static_assert(offsetof(RelativeScaleGetPacket, current) == 24);
static_assert(offsetof(RelativeScaleGetPacket, maximum) == 28);

// Relative scale set (type -4, 24 bytes): the step at 20.
struct RelativeScaleSetPacket {
  DISPLAYCONFIG_DEVICE_INFO_HEADER header;
  std::int32_t step;
};
static_assert(sizeof(RelativeScaleSetPacket) == 24);
static_assert(offsetof(RelativeScaleSetPacket, step) == 20);

constexpr std::uint32_t kRelativeScaleGet = 0xFFFFFFFDu;  // -3
constexpr std::uint32_t kRelativeScaleSet = 0xFFFFFFFCu;  // -4
constexpr DWORD kMatchedFields = DM_BITSPERPEL | DM_PELSWIDTH | DM_PELSHEIGHT | DM_DISPLAYFREQUENCY;
static_assert(kMatchedFields == 0x5C0000);

DEVMODEW empty_devmode() {
  DEVMODEW mode;
  std::memset(&mode, 0, sizeof mode);
  mode.dmSize = sizeof mode;
  return mode;
}

DisplayMode to_display_mode(const DEVMODEW& mode, std::uint64_t index) {
  return DisplayMode{mode.dmPelsWidth, mode.dmPelsHeight, mode.dmBitsPerPel,
                     mode.dmDisplayFrequency, index};
}

// A display source as this backend names it in a ScaleTarget: the adapter's LUID, then the
// source's id on it.
struct SourceToken {
  LUID adapter;
  UINT32 source_id;
};
static_assert(sizeof(SourceToken) <= sizeof(ScaleTarget::token));

ScaleTarget to_target(const LUID& adapter, UINT32 source_id) {
  ScaleTarget target;
  const SourceToken token{adapter, source_id};
  std::memcpy(target.token.data(), &token, sizeof token);
  return target;
}

SourceToken from_target(const ScaleTarget& target) {
  SourceToken token;
  std::memcpy(&token, target.token.data(), sizeof token);
  return token;
}

void set_header(DISPLAYCONFIG_DEVICE_INFO_HEADER& header, std::uint32_t type, std::uint32_t size,
                const ScaleTarget& target) {
  const SourceToken source = from_target(target);
  header.type = static_cast<DISPLAYCONFIG_DEVICE_INFO_TYPE>(type);
  header.size = size;
  header.adapterId = source.adapter;
  header.id = source.source_id;
}

// The active path whose source carries this GDI device name.
bool find_source(const std::wstring& device, ScaleTarget& target) {
  UINT32 path_count = 0, mode_count = 0;
  if (GetDisplayConfigBufferSizes(QDC_ONLY_ACTIVE_PATHS, &path_count, &mode_count) !=
      ERROR_SUCCESS) {
    return false;
  }
  std::vector<DISPLAYCONFIG_PATH_INFO> paths(path_count);
  std::vector<DISPLAYCONFIG_MODE_INFO> modes(mode_count);
  if (path_count == 0 ||
      QueryDisplayConfig(QDC_ONLY_ACTIVE_PATHS, &path_count, paths.data(), &mode_count,
                         modes.data(), nullptr) != ERROR_SUCCESS ||
      path_count == 0) {
    return false;
  }
  for (UINT32 i = 0; i < path_count; ++i) {
    DISPLAYCONFIG_SOURCE_DEVICE_NAME name;
    std::memset(&name, 0, sizeof name);
    name.header.type = DISPLAYCONFIG_DEVICE_INFO_GET_SOURCE_NAME;
    name.header.size = sizeof name;
    name.header.adapterId = paths[i].sourceInfo.adapterId;
    name.header.id = paths[i].sourceInfo.id;
    if (DisplayConfigGetDeviceInfo(&name.header) != ERROR_SUCCESS) continue;
    if (is_gdi_device_name(device, name.viewGdiDeviceName)) {
      target = to_target(paths[i].sourceInfo.adapterId, paths[i].sourceInfo.id);
      return true;
    }
  }
  return false;
}

class GdiDisplayBackend : public DisplayBackend {
 public:
  bool current_mode(const std::string& device, DisplayMode& mode) override {
    DEVMODEW current = empty_devmode();
    if (!EnumDisplaySettingsW(to_wide(device).c_str(), ENUM_CURRENT_SETTINGS, &current))
      return false;
    mode = to_display_mode(current, 0);
    return true;
  }

  std::vector<DisplayMode> modes(const std::string& device) override {
    std::vector<DisplayMode> modes;
    const std::wstring name = to_wide(device);
    DEVMODEW mode = empty_devmode();
    for (DWORD i = 0; EnumDisplaySettingsW(name.c_str(), i, &mode); ++i) {
      modes.push_back(to_display_mode(mode, i));
      mode = empty_devmode();
    }
    return modes;
  }

  DisplayResult set_mode(const std::string& device, const DisplayMode& wanted) override {
    DEVMODEW mode = empty_devmode();
    mode.dmBitsPerPel = wanted.bits_per_pixel;
    mode.dmPelsWidth = wanted.width;
    mode.dmPelsHeight = wanted.height;
    mode.dmDisplayFrequency = wanted.refresh_hz;
    mode.dmFields = kMatchedFields;
    const LONG status =
        ChangeDisplaySettingsExW(to_wide(device).c_str(), &mode, nullptr, CDS_FULLSCREEN, nullptr);
    return status == DISP_CHANGE_SUCCESSFUL
               ? DisplayResult::done()
               : DisplayResult::refused("ChangeDisplaySettingsEx", status);
  }

  void restore_mode(const std::string& device) override {
    ChangeDisplaySettingsExW(to_wide(device).c_str(), nullptr, nullptr, 0, nullptr);
  }

  bool get_scale(const std::string& device, RelativeScale& scale) override {
    ScaleTarget target;
    if (!find_source(to_wide(device), target)) return false;
    RelativeScaleGetPacket packet;
    std::memset(&packet, 0, sizeof packet);
    set_header(packet.header, kRelativeScaleGet, sizeof packet, target);
    if (DisplayConfigGetDeviceInfo(&packet.header) != ERROR_SUCCESS) return false;
    scale.target = target;
    scale.minimum = packet.minimum;
    scale.current = packet.current;
    scale.maximum = packet.maximum;
    return true;
  }

  bool set_scale(const std::string&, const ScaleTarget& target, std::int32_t step) override {
    RelativeScaleSetPacket packet;
    std::memset(&packet, 0, sizeof packet);
    set_header(packet.header, kRelativeScaleSet, sizeof packet, target);
    packet.step = step;
    return DisplayConfigSetDeviceInfo(&packet.header) == ERROR_SUCCESS;
  }

  // The system undoes a CDS_FULLSCREEN switch itself; nothing else stands by.
  void changes_undone() override {}
};

}  // namespace

std::unique_ptr<DisplayBackend> make_display_backend(const std::filesystem::path&) {
  return std::make_unique<GdiDisplayBackend>();
}

DisplayRecovery recover_display_changes(const std::filesystem::path&) { return {}; }

std::string primary_display_name() {
  DISPLAY_DEVICEW device;
  for (DWORD i = 0;; ++i) {
    std::memset(&device, 0, sizeof device);
    device.cb = sizeof device;
    if (!EnumDisplayDevicesW(nullptr, i, &device, 0)) return {};
    if (device.StateFlags & DISPLAY_DEVICE_PRIMARY_DEVICE) {
      return from_wide(device.DeviceName);
    }
  }
}

}  // namespace tolvi::platform
