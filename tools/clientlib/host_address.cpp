#include "host_address.h"

#include <cstdlib>

namespace tolvi::client {
namespace {

bool parse_port(const char* text, long long& out) {
  char* end = nullptr;
  out = std::strtoll(text, &end, 10);
  return end && *end == '\0' && end != text;
}

}  // namespace

bool split_host_port(const std::string& text, std::string& host_out, std::uint16_t& port_out) {
  long long port = kDefaultPort;
  std::string host = text;
  if (!text.empty() && text[0] == '[') {  // [v6]:port
    const std::size_t close = text.find(']');
    if (close == std::string::npos) return false;
    host = text.substr(1, close - 1);
    if (close + 1 < text.size()) {
      if (text[close + 1] != ':' || !parse_port(text.c_str() + close + 2, port)) return false;
    }
  } else if (text.find(':') != std::string::npos &&
             text.find(':') == text.rfind(':')) {  // name:port or v4:port
    const std::size_t colon = text.find(':');
    host = text.substr(0, colon);
    if (!parse_port(text.c_str() + colon + 1, port)) return false;
  }
  if (host.empty() || port <= 0 || port > 65535) return false;
  host_out = host;
  port_out = static_cast<std::uint16_t>(port);
  return true;
}

}  // namespace tolvi::client
