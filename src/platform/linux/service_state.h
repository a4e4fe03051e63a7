#pragma once
#include "platform/linux/unique_fd.h"

namespace tolvi::platform {

// Where the installed service can be seen, for the installer that sets it up, the service that
// runs and the tray that shows it. Paths as the installed system names them (the install root
// is added where they are touched).
constexpr char kServiceUnitName[] = "tolvi-host.service";
// The unit "--install" writes, and the copy a package ships.
constexpr char kServiceUnitFile[] = "/etc/systemd/system/tolvi-host.service";
constexpr char kPackageServiceUnitFile[] = "/lib/systemd/system/tolvi-host.service";
// The link that enables the unit for multi-user.target.
constexpr char kServiceUnitLink[] =
    "/etc/systemd/system/multi-user.target.wants/tolvi-host.service";
// A system booted by systemd has this folder (sd_booted does the same test).
constexpr char kSystemdRunning[] = "/run/systemd/system";
// Held locked by the running service (its process id inside, for people).
constexpr char kServiceMarker[] = "/run/tolvi-host/service.pid";

bool systemd_runs();

// A unit (written or packaged) and the link that enables it are both in place.
bool service_unit_enabled();

// The running service's mark: a write lock on kServiceMarker for as long as the holder lives.
// Anyone may look for the lock (service_marker_held); the system drops it however the service
// ends, so a stale file means nothing. Invalid when the marker could not be made or another
// service holds it.
class ServiceMarker {
 public:
  ServiceMarker();
  ~ServiceMarker();
  ServiceMarker(const ServiceMarker&) = delete;
  ServiceMarker& operator=(const ServiceMarker&) = delete;
  bool valid() const { return file_.valid(); }

 private:
  UniqueFd file_;
};

// Some process holds the service's mark. Only a marker owned by root (or by this process's own
// user, who could fool only themselves) in a folder of the same owner counts.
bool service_marker_held();

}  // namespace tolvi::platform
