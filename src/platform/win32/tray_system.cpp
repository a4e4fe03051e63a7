// What the tray needs from Windows beside its window: the single-instance mutex, the local
// IPv4 addresses and the state of the "TolviHost" service.
#include <winsock2.h>
#include <ws2tcpip.h>
// after the socket headers
#include <iphlpapi.h>
#include <windows.h>

#include <vector>

#include "base/product.h"
#include "platform/text.h"
#include "platform/tray.h"

namespace tolvi::platform {
namespace {

constexpr wchar_t kInstanceMutex[] = L"Local\\TolviHostSingleInstance";
constexpr ULONG kFirstBufferBytes = 16384;
constexpr ULONG kSecondBufferBytes = 32768;
constexpr DWORD kSoftwareLoopback = 24;

// The service manager and the service opened for status queries, closed on every path.
struct ServiceQuery {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service =
      manager ? OpenServiceW(manager, kServiceNameWide, SERVICE_QUERY_STATUS) : nullptr;
  ~ServiceQuery() {
    if (service) CloseServiceHandle(service);
    if (manager) CloseServiceHandle(manager);
  }
};

}  // namespace

bool claim_tray_instance() {
  // The handle stays open for the life of the process: the name is held once per sign-in.
  CreateMutexW(nullptr, TRUE, kInstanceMutex);
  return GetLastError() != ERROR_ALREADY_EXISTS;
}

std::vector<std::string> local_ipv4_addresses() {
  std::vector<std::string> addresses;
  const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
  std::vector<unsigned char> buffer(kFirstBufferBytes, 0);
  ULONG size = static_cast<ULONG>(buffer.size());
  ULONG rc = GetAdaptersAddresses(AF_INET, flags, nullptr,
                                  reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
  if (rc == ERROR_BUFFER_OVERFLOW) {
    buffer.assign(size > kSecondBufferBytes ? size : kSecondBufferBytes, 0);
    size = static_cast<ULONG>(buffer.size());
    rc = GetAdaptersAddresses(AF_INET, flags, nullptr,
                              reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
  }
  if (rc != NO_ERROR) return addresses;
  for (auto* a = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); a; a = a->Next) {
    if (a->OperStatus != IfOperStatusUp || a->IfType == kSoftwareLoopback) continue;
    for (auto* u = a->FirstUnicastAddress; u; u = u->Next) {
      wchar_t text[64] = {};
      DWORD length = 64;
      if (WSAAddressToStringW(u->Address.lpSockaddr, u->Address.iSockaddrLength, nullptr, text,
                              &length) != 0) {
        continue;
      }
      addresses.push_back(to_utf8(reinterpret_cast<const char16_t*>(text)));
    }
  }
  return addresses;
}

bool is_service_installed() {
  ServiceQuery query;
  return query.service != nullptr;
}

bool is_service_running() {
  ServiceQuery query;
  SERVICE_STATUS status = {};
  if (!query.service || !QueryServiceStatus(query.service, &status)) return false;
  return status.dwCurrentState == SERVICE_START_PENDING || status.dwCurrentState == SERVICE_RUNNING;
}

}  // namespace tolvi::platform
