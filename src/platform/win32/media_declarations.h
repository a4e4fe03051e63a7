#pragma once
// Media Foundation identifiers the mingw-w64 headers lack, written out from their documented
// values.
#include <windows.h>

namespace tolvi::platform::win32 {

// MFT_ENUM_ADAPTER_LUID: the 8-byte LUID of the graphics adapter a hardware encoder runs on,
// read from the IMFActivate that MFTEnumEx returns.
constexpr GUID kMftEnumAdapterLuid = {
    0x1d39518c, 0xe220, 0x4da8, {0xa0, 0x7f, 0xba, 0x17, 0x25, 0x52, 0xd6, 0xb1}};

}  // namespace tolvi::platform::win32
