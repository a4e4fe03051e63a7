#pragma once
#include <systemd/sd-bus.h>

#include <cstdint>
#include <memory>

namespace tolvi::platform {

// Holders for sd-bus objects: each releases its reference when it goes.
struct SdBusDeleter {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct SdBusMessageDeleter {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
struct SdBusSlotDeleter {
  void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
using SdBus = std::unique_ptr<sd_bus, SdBusDeleter>;
using SdBusMessage = std::unique_ptr<sd_bus_message, SdBusMessageDeleter>;
using SdBusSlot = std::unique_ptr<sd_bus_slot, SdBusSlotDeleter>;

// A bus opened by `open` (sd_bus_open_user: the person's session bus; sd_bus_open_system: the
// machine's), every method call on it limited to call_timeout_us (a peer that never answers
// must not hang the caller); empty when there is no such bus.
inline SdBus open_bus(int (*open)(sd_bus**), std::uint64_t call_timeout_us) {
  sd_bus* raw = nullptr;
  if (open(&raw) < 0) return nullptr;
  SdBus bus(raw);
  sd_bus_set_method_call_timeout(bus.get(), call_timeout_us);
  return bus;
}
inline SdBus open_user_bus(std::uint64_t call_timeout_us) {
  return open_bus(sd_bus_open_user, call_timeout_us);
}
inline SdBus open_system_bus(std::uint64_t call_timeout_us) {
  return open_bus(sd_bus_open_system, call_timeout_us);
}

// An error filled in by a call, freed when it goes.
class SdBusError {
 public:
  SdBusError() = default;
  SdBusError(const SdBusError&) = delete;
  SdBusError& operator=(const SdBusError&) = delete;
  ~SdBusError() { sd_bus_error_free(&error_); }
  sd_bus_error* get() { return &error_; }
  const char* message() const { return error_.message ? error_.message : "no reply"; }

 private:
  sd_bus_error error_ = SD_BUS_ERROR_NULL;
};

}  // namespace tolvi::platform
