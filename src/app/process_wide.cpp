#include "app/process_wide.h"

#include "base/log.h"
#include "platform/display.h"
#include "platform/settings_backend.h"

namespace tolvi {

DisplayController display_controller{
    [] { return platform::make_display_backend(log_file_path().parent_path()); }};

SettingsStore& default_settings() {
  // Built once and never destroyed: detached threads may still read settings at exit.
  static SettingsBackend* const backend =
      make_settings_backend([](const std::string& file, int line) {
        log_message("settings: cannot read line %d of %s, kept as it is", line, file.c_str());
      }).release();
  static SettingsStore* const store = new SettingsStore(*backend);
  return *store;
}

}  // namespace tolvi
