// Compares a screenshot of the tray icon with the picture we draw: exit 0 when every opaque
// pixel of the picture is on screen unchanged (the transparent ones show the tray's own
// background), 1 when not, 2 for a bad call.
// Usage: tray_picture_check SIZE waiting|connected|error SHOT.rgb (SIZE x SIZE rgb24 bytes)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "tray/tray_picture.h"

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  const int size = std::atoi(argv[1]);
  if (size <= 0) return 2;
  tolvi::StatusKind kind = tolvi::StatusKind::Waiting;
  if (std::strcmp(argv[2], "connected") == 0) kind = tolvi::StatusKind::Connected;
  if (std::strcmp(argv[2], "error") == 0) kind = tolvi::StatusKind::Error;
  std::ifstream file(argv[3], std::ios::binary);
  const std::vector<unsigned char> shot{std::istreambuf_iterator<char>(file), {}};
  const std::vector<std::uint32_t> picture = tolvi::draw_tray_picture(size, kind);
  if (shot.size() != picture.size() * 3) {
    std::fprintf(stderr, "the screenshot has %zu bytes, not %zu\n", shot.size(),
                 picture.size() * 3);
    return 1;
  }
  std::size_t different = 0;
  for (std::size_t i = 0; i < picture.size(); ++i) {
    const std::uint32_t p = picture[i];
    if ((p >> 24) != 0xFF) continue;
    const unsigned char* s = &shot[3 * i];
    if (s[0] != ((p >> 16) & 0xFF) || s[1] != ((p >> 8) & 0xFF) || s[2] != (p & 0xFF)) {
      ++different;
    }
  }
  if (different != 0) std::fprintf(stderr, "%zu pixels differ\n", different);
  return different == 0 ? 0 : 1;
}
