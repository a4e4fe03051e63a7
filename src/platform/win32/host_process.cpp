// Process set-up for the host server: COM in the multithreaded apartment (Media Foundation and
// the DXGI objects are used from several threads), Media Foundation, and a 1 ms timer
// resolution so the capture loop's 1 to 16 ms waits are honoured closely.
#include <windows.h>
// windows.h first: the others need its types.
#include <mfapi.h>
#include <objbase.h>
#include <timeapi.h>

#include "platform/process.h"

namespace tolvi::platform {

namespace {

// MF_VERSION of the Windows 7 SDK and later (MF_SDK_VERSION 0x0002, MF_API_VERSION 0x0070).
constexpr ULONG kMediaFoundationVersion = 0x20070;
constexpr DWORD kMediaFoundationLite = 1;  // MFSTARTUP_LITE: no sockets in Media Foundation

}  // namespace

void prepare_process_start() {}

void prepare_host_process() {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  MFStartup(kMediaFoundationVersion, kMediaFoundationLite);
  timeBeginPeriod(1);
}

}  // namespace tolvi::platform
