#include "platform/linux/logind_inhibitor.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>

#include "platform/linux/sd_bus_holders.h"

namespace tolvi::platform {
namespace {

constexpr const char* kLogindService = "org.freedesktop.login1";
constexpr const char* kLogindPath = "/org/freedesktop/login1";
constexpr const char* kLogindManager = "org.freedesktop.login1.Manager";
constexpr const char* kInhibitWhat = "idle:sleep";
constexpr const char* kInhibitWho = "Tolvi Host";
constexpr const char* kInhibitWhy = "remote session";
constexpr const char* kInhibitMode = "block";
// A session must not wait long for a busy or hung logind before it starts streaming.
constexpr std::uint64_t kInhibitCallTimeoutUs = 2000000;

bool means_no_logind(const sd_bus_error& error) {
  return sd_bus_error_has_name(&error, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
         sd_bus_error_has_name(&error, SD_BUS_ERROR_NAME_HAS_NO_OWNER) ||
         sd_bus_error_has_name(&error, SD_BUS_ERROR_UNKNOWN_OBJECT) ||
         sd_bus_error_has_name(&error, SD_BUS_ERROR_UNKNOWN_METHOD);
}

}  // namespace

LogindInhibitor::Result LogindInhibitor::take(std::string& error) {
  if (held()) return Result::kTaken;
  // No system bus at all (a container, a minimal system): the same as no logind.
  const SdBus bus = open_system_bus(kInhibitCallTimeoutUs);
  if (!bus) return Result::kNoLogind;

  SdBusError call_error;
  sd_bus_message* raw_reply = nullptr;
  const int called = sd_bus_call_method(bus.get(), kLogindService, kLogindPath, kLogindManager,
                                        "Inhibit", call_error.get(), &raw_reply, "ssss", kInhibitWhat,
                                        kInhibitWho, kInhibitWhy, kInhibitMode);
  SdBusMessage reply(raw_reply);
  if (called < 0) {
    const sd_bus_error& failure = *call_error.get();
    const bool no_logind =
        means_no_logind(failure) || called == -ECONNREFUSED || called == -ENOENT;
    if (!no_logind) error = failure.message ? failure.message : std::strerror(-called);
    return no_logind ? Result::kNoLogind : Result::kRefused;
  }
  int fd = -1;
  const int read = sd_bus_message_read(reply.get(), "h", &fd);
  if (read < 0) {
    error = std::strerror(-read);
    return Result::kRefused;
  }
  // The descriptor belongs to the reply: keep a copy of our own.
  fd_.reset(fcntl(fd, F_DUPFD_CLOEXEC, 3));
  if (!fd_.valid()) {
    error = std::strerror(errno);
    return Result::kRefused;
  }
  return Result::kTaken;
}

}  // namespace tolvi::platform
