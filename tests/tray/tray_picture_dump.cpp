// Writes the tray picture for a size and a status as raw RGBA bytes on stdout, so that the
// desktop test can compare what the tray host shows with what we drew.
// Usage: tray_picture_dump SIZE waiting|connected|error
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tray/tray_picture.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const int size = std::atoi(argv[1]);
  if (size <= 0) return 2;
  tolvi::StatusKind kind = tolvi::StatusKind::Waiting;
  if (std::strcmp(argv[2], "connected") == 0) kind = tolvi::StatusKind::Connected;
  if (std::strcmp(argv[2], "error") == 0) kind = tolvi::StatusKind::Error;
  for (std::uint32_t p : tolvi::draw_tray_picture(size, kind)) {
    const unsigned char rgba[4] = {
        static_cast<unsigned char>(p >> 16), static_cast<unsigned char>(p >> 8),
        static_cast<unsigned char>(p), static_cast<unsigned char>(p >> 24)};
    std::fwrite(rgba, 1, 4, stdout);
  }
  return 0;
}
