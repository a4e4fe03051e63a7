#include "tray/status_report.h"

#include <mutex>

namespace tolvi {
namespace {

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

void report_client_status(const std::string& text) { store(client_text, text); }

void report_error_status(const std::string& text) { store(error_text, text); }

std::string client_status() {
  std::lock_guard<std::mutex> guard(status_mutex);
  return client_text;
}

std::string error_status() {
  std::lock_guard<std::mutex> guard(status_mutex);
  return error_text;
}

StatusSnapshot status_snapshot() {
  std::lock_guard<std::mutex> guard(status_mutex);
  return {client_text, error_text};
}

bool store_status(const StatusSnapshot& status) {
  std::lock_guard<std::mutex> guard(status_mutex);
  const bool changed = status.client != client_text || status.error != error_text;
  client_text = status.client;
  error_text = status.error;
  return changed;
}

void set_status_listener(std::function<void()> listener) { status_listener = std::move(listener); }

}  // namespace tolvi
