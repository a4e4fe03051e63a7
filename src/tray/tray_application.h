#pragma once
#include <functional>
#include <string>
#include <vector>

#include "tray/tray_menu.h"

namespace tolvi {

constexpr char kAlreadyRunning[] =
    "Tolvi Host is already running. Look for its icon in the notification area.";
constexpr auto kStatusPollPeriod = std::chrono::milliseconds(1500);

// The tray application on top of a toolkit: the icon follows the status store (in memory when
// this process runs the host, the agent's "Status" value polled every 1.5 s beside the
// service), a click opens the menu built afresh, and the chosen command runs.
class TrayApplication {
 public:
  // `commands` names the toolkit, the settings and service_mode; it outlives nothing of ours.
  TrayApplication(TrayCommandContext commands, std::function<bool()> service_running,
                  std::function<std::vector<std::string>()> local_addresses);

  // Shows the icon and starts following the status. Before any host server thread starts.
  void start();

  // The pieces start() wires up, callable on the toolkit's thread.
  void update_icon();
  // One status poll of the agent's value; redraws only on a change.
  void poll_status();
  // Where this process runs the host: an error status while it has no usable password (every
  // client is refused then), gone once one is set.
  void check_password();
  void open_menu();
  TrayMenuState menu_state();

 private:
  TrayCommandContext commands_;
  std::function<bool()> service_running_;
  std::function<std::vector<std::string>()> local_addresses_;
};

}  // namespace tolvi
