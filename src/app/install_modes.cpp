#include "app/modes.h"
#include "app/process_wide.h"
#include "platform/installer.h"
#include "service/install/installer.h"

namespace tolvi {

// --install and --uninstall over this build's installer and the process's settings.

int install_host(bool quiet) {
  const auto system = platform::make_installer();
  return install_host(*system, default_settings(), quiet);
}

int uninstall_host(bool quiet) {
  const auto system = platform::make_installer();
  return uninstall_host(*system, default_settings(), quiet);
}

}  // namespace tolvi
