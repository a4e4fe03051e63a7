#include "host_address.h"

#include <cstdlib>

namespace tolvi::client {
namespace {

constexpr long long kMaxPort = 65535;

bool parse_port(const char* text, long long& out) {
  char* end = nullptr;
  out = std::strtoll(text, &end, 10);
  return end && *end == '\0' && end != text;
}

bool failed(std::string* error, std::string text) {
  if (error) *error = std::move(text);
  return false;
}

}  // namespace

bool split_host_port(const std::string& text, std::string& host_out, std::uint16_t& port_out,
                     std::string* error) {
  long long port = kDefaultPort;
  std::string host = text;
  const char* port_text = nullptr;
  if (!text.empty() && text[0] == '[') {  // [v6]:port
    const std::size_t close = text.find(']');
    if (close == std::string::npos) return failed(error, "no ] after the address in " + text);
    host = text.substr(1, close - 1);
    if (close + 1 < text.size()) {
      if (text[close + 1] != ':') return failed(error, "no : after ] in " + text);
      port_text = text.c_str() + close + 2;
    }
  } else if (text.find(':') != std::string::npos &&
             text.find(':') == text.rfind(':')) {  // name:port or v4:port
    const std::size_t colon = text.find(':');
    host = text.substr(0, colon);
    port_text = text.c_str() + colon + 1;
  }
  if (port_text && !parse_port(port_text, port)) {
    return failed(error, std::string("port ") + port_text + " is not a number");
  }
  if (host.empty()) return failed(error, "no host name in " + text);
  if (port <= 0 || port > kMaxPort) {
    return failed(error, std::string("port ") + port_text + " is out of range (1-65535)");
  }
  host_out = host;
  port_out = static_cast<std::uint16_t>(port);
  return true;
}

}  // namespace tolvi::client
