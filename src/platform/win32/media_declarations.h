#pragma once
// Media Foundation identifiers the mingw-w64 headers lack, written out from their documented
// values.
#include <windows.h>
// windows.h first: the Media Foundation headers rely on it.
#include <mfobjects.h>
#include <mftransform.h>

namespace tolvi::platform::win32 {

// MFT_ENUM_ADAPTER_LUID: the 8-byte LUID of a graphics adapter. Given to MFTEnum2 it keeps the
// encoders of that adapter; on an IMFActivate MFTEnum2 returned it names the encoder's adapter.
constexpr GUID kMftEnumAdapterLuid = {
    0x1d39518c, 0xe220, 0x4da8, {0xa0, 0x7f, 0xba, 0x17, 0x25, 0x52, 0xd6, 0xb1}};

// MFTEnum2 (mfplat.dll, Windows 10 1703 and later; not in the mingw-w64 headers), looked up at
// run time so the program still starts where it is missing.
using MftEnum2Function = HRESULT(WINAPI*)(GUID category, UINT32 flags,
                                           const MFT_REGISTER_TYPE_INFO* input,
                                           const MFT_REGISTER_TYPE_INFO* output,
                                           IMFAttributes* attributes, IMFActivate*** activates,
                                           UINT32* count);

}  // namespace tolvi::platform::win32
