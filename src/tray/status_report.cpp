#include "tray/status_report.h"

#include <mutex>

#include "base/run_mode.h"
#include "settings/settings_store.h"

namespace tolvi {
namespace {

constexpr char kErrorMarker[] = "error: ";

std::mutex status_mutex;
std::string client_text;
std::string error_text;
std::function<void()> status_listener;

void store(std::string& slot, const std::string& text) {
  {
    std::lock_guard<std::mutex> guard(status_mutex);
    slot = text;
  }
  if (status_listener) status_listener();
}

}  // namespace

void report_client_status(const std::string& text) {
  if (run_mode.load() == RunMode::Agent) {
    default_settings().save_status(text);
    return;
  }
  store(client_text, text);
}

void report_error_status(const std::string& text) {
  if (run_mode.load() == RunMode::Agent) {
    default_settings().save_status(kErrorMarker + text);
    return;
  }
  store(error_text, text);
}

std::string client_status() {
  std::lock_guard<std::mutex> guard(status_mutex);
  return client_text;
}

std::string error_status() {
  std::lock_guard<std::mutex> guard(status_mutex);
  return error_text;
}

void set_status_listener(std::function<void()> listener) { status_listener = std::move(listener); }

}  // namespace tolvi
