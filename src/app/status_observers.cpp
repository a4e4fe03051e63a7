#include "app/status_observers.h"

#include "app/process_wide.h"
#include "base/run_mode.h"
#include "settings/settings_store.h"
#include "tray/status_report.h"
#include "tray/tray_status.h"

namespace tolvi {
namespace {

// The tray of this process shows the status directly.
class TrayStatusObserver : public HostStatusObserver {
 public:
  void on_client_authenticated(const std::string& address) override {
    report_client_status(address);
  }
  void on_client_gone() override { report_client_status(""); }
  void on_host_error(const std::string& text) override { report_error_status(text); }
  void on_host_listening() override { report_error_status(""); }
};

// The agent runs where no tray is; the user's tray reads the "Status" value.
class AgentStatusObserver : public HostStatusObserver {
 public:
  void on_client_authenticated(const std::string& address) override {
    default_settings().save_status(address);
  }
  void on_client_gone() override { default_settings().save_status(""); }
  void on_host_error(const std::string& text) override {
    default_settings().save_status(kErrorStatusMarker + text);
  }
  void on_host_listening() override { default_settings().save_status(""); }
};

}  // namespace

std::unique_ptr<HostStatusObserver> make_status_observer() {
  if (run_mode.load() == RunMode::Agent) return std::make_unique<AgentStatusObserver>();
  return std::make_unique<TrayStatusObserver>();
}

}  // namespace tolvi
