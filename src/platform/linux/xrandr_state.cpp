#include "platform/linux/xrandr_state.h"

#include <unistd.h>

#include <cctype>
#include <cmath>
#include <fstream>
#include <sstream>

namespace tolvi::platform {

namespace {

// A value written for an Xft.dpi that was not set at all.
constexpr char kUnset[] = "-";

}  // namespace

std::filesystem::path change_record_path(const std::filesystem::path& folder,
                                         const std::string& display) {
  std::string name = "display-";
  for (char c : display) name += (std::isalnum(static_cast<unsigned char>(c)) ? c : '_');
  return folder / (name + ".state");
}

bool write_change_record(const std::filesystem::path& path, const DisplayChangeRecord& r) {
  // Written beside and renamed into place, so a reader never sees half a record.
  const std::filesystem::path temporary = path.string() + ".new";
  {
    std::ofstream out(temporary, std::ios::trunc);
    if (!out) return false;
    out << "owner " << r.owner << "\n"
        << "display " << r.display << "\n"
        << "output " << r.output << "\n";
    if (r.mode_saved) {
      out << "original_mode " << r.original_mode << " " << r.original_width << " "
          << r.original_height << "\n"
          << "original_screen " << r.original_screen.width << " " << r.original_screen.height << " "
          << r.original_screen.mm_width << " " << r.original_screen.mm_height << "\n";
    }
    if (r.mode_set) out << "set_mode " << r.set_width << " " << r.set_height << "\n";
    if (r.dpi_saved) out << "original_dpi " << (r.original_dpi ? *r.original_dpi : kUnset) << "\n";
    if (r.dpi_set) out << "set_dpi " << r.set_dpi << "\n";
    out.flush();
    if (!out) return false;
  }
  std::error_code ec;
  std::filesystem::rename(temporary, path, ec);
  return !ec;
}

std::optional<DisplayChangeRecord> read_change_record(const std::filesystem::path& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  DisplayChangeRecord r;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string key;
    fields >> key;
    std::string rest;
    std::getline(fields >> std::ws, rest);
    std::istringstream values(rest);
    if (key == "owner") {
      values >> r.owner;
    } else if (key == "display") {
      r.display = rest;
    } else if (key == "output") {
      r.output = rest;
    } else if (key == "original_mode") {
      r.mode_saved =
          static_cast<bool>(values >> r.original_mode >> r.original_width >> r.original_height);
    } else if (key == "original_screen") {
      values >> r.original_screen.width >> r.original_screen.height >> r.original_screen.mm_width >>
          r.original_screen.mm_height;
    } else if (key == "set_mode") {
      r.mode_set = static_cast<bool>(values >> r.set_width >> r.set_height);
    } else if (key == "original_dpi") {
      r.dpi_saved = true;
      if (rest != kUnset) r.original_dpi = rest;
    } else if (key == "set_dpi") {
      r.dpi_set = true;
      r.set_dpi = rest;
    }
  }
  if (r.owner <= 0) return std::nullopt;
  return r;
}

DisplayRecovery undo_recorded_changes(X11Connection& connection,
                                      const DisplayChangeRecord& record) {
  DisplayRecovery recovery;
  XrandrOutput output(connection, record.output);
  if (record.mode_set && record.mode_saved) {
    const std::optional<DisplayMode> now = output.current_mode();
    if (now && now->width == record.set_width && now->height == record.set_height) {
      // The original mode by its id, or by its size if the id went away.
      std::uint64_t mode = 0;
      for (const DisplayMode& candidate : output.modes()) {
        if (candidate.id == record.original_mode) mode = candidate.id;
      }
      if (mode == 0) {
        for (const DisplayMode& candidate : output.modes()) {
          if (mode == 0 && candidate.width == record.original_width &&
              candidate.height == record.original_height) {
            mode = candidate.id;
          }
        }
      }
      std::optional<ScreenSize> screen;
      if (record.original_screen.width > 0) screen = record.original_screen;
      if (mode != 0 && output.switch_to(mode, screen) == 0) recovery.mode_restored = true;
    }
  }
  if (record.dpi_set && record.dpi_saved) {
    const std::optional<std::string> now = read_xft_dpi(connection);
    if (now && *now == record.set_dpi && write_xft_dpi(connection, record.original_dpi)) {
      recovery.scaling_restored = true;
      recovery.scaling_percent = static_cast<int>(
          std::lround(dpi_of(record.original_dpi) * 100.0 / static_cast<double>(kBaseDpi)));
    }
  }
  return recovery;
}

}  // namespace tolvi::platform
