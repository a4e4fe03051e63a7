#pragma once
#include "display/display_controller.h"
#include "settings/settings_store.h"

namespace tolvi {

// The process-wide objects over this build's backends, made here in the composition root so
// that no layer below app/ creates a backend of its own.

// The process's display controller: what sessions change, the process's exit paths undo. Its
// backend is made on first use, with its crash record beside the log.
extern DisplayController display_controller;

// The process's settings store over this build's backend, made on first use.
SettingsStore& default_settings();

}  // namespace tolvi
