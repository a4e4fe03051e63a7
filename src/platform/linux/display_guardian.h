#pragma once

namespace tolvi::platform {

// The program that undoes the host's display changes once the host has ended, however it ended
// (guardian/display_guardian_main.cpp). It sits beside tolvi-host, built and installed there.
constexpr char kDisplayGuardianName[] = "tolvi-display-guardian";

}  // namespace tolvi::platform
