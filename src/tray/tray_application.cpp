#include "tray/tray_application.h"

#include "tray/status_report.h"
#include "tray/tray_picture.h"

namespace tolvi {

TrayApplication::TrayApplication(TrayCommandContext commands, std::function<bool()> service_running,
                                 std::function<std::vector<std::string>()> local_addresses)
    : commands_(std::move(commands)),
      service_running_(std::move(service_running)),
      local_addresses_(std::move(local_addresses)) {}

void TrayApplication::start() {
  platform::TrayToolkit* toolkit = commands_.toolkit;
  toolkit->on_activate([this] { open_menu(); });
  update_icon();
  if (commands_.service_mode) {
    toolkit->every(kStatusPollPeriod, [this] { poll_status(); });
    poll_status();  // the first poll does not wait for the period
  } else {
    // Reports come from the server's threads; the icon is redrawn on the toolkit's thread.
    set_status_listener(
        [this, toolkit] { toolkit->post_to_main_thread([this] { update_icon(); }); });
    toolkit->every(kStatusPollPeriod, [this] { check_password(); });
    check_password();
  }
}

void TrayApplication::update_icon() {
  const StatusSnapshot status = status_snapshot();
  const StatusKind kind = status_kind(status);
  commands_.toolkit->set_icon([kind](int size) { return draw_tray_picture(size, kind); },
                              tray_tip(status));
}

void TrayApplication::poll_status() {
  const StatusSnapshot polled =
      parse_polled_status(commands_.settings->load_status(), service_running_());
  if (store_status(polled)) update_icon();
}

void TrayApplication::check_password() {
  const bool missing = !commands_.settings->has_password();
  // Another error (a busy port, say) is left as it is: it is the first thing to mend.
  const std::string shown = error_status();
  if (missing && shown.empty()) {
    report_error_status(kNoPasswordStatus);
  } else if (!missing && shown == kNoPasswordStatus) {
    report_error_status(std::string());
  }
}

TrayMenuState TrayApplication::menu_state() {
  TrayMenuState state;
  state.status = status_snapshot();
  state.port = commands_.settings->load_port();
  state.addresses = local_addresses_();
  state.service_mode = commands_.service_mode;
  state.allow_resolution_change = commands_.settings->allow_resolution_change();
  state.start_at_login = !commands_.service_mode && commands_.settings->start_at_login();
  return state;
}

void TrayApplication::open_menu() {
  commands_.toolkit->show_menu(build_tray_menu(menu_state()), [this](int command) {
    run_tray_command(commands_, static_cast<TrayCommand>(command));
  });
}

}  // namespace tolvi
