#pragma once
#include <gtk/gtk.h>

#include <optional>
#include <string>

#include "platform/tray.h"

namespace tolvi::platform {

// Runs the Set Password form as a modal dialog until it is saved with a password `logic`
// accepts (returned) or cancelled (nothing). `open_dialog` holds the dialog while it runs, so
// the toolkit can bring it to the front.
std::optional<std::string> run_gtk_password_form(const PasswordFormLogic& logic,
                                                 GtkWidget*& open_dialog);

}  // namespace tolvi::platform
