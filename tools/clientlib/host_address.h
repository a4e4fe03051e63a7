#pragma once
#include <cstdint>
#include <string>

namespace tolvi::client {

constexpr std::uint16_t kDefaultPort = 5960;

// HOST, HOST:PORT, [V6] or [V6]:PORT; a bare IPv6 address (several colons) takes the default
// port. false for an empty host or a port outside 1..65535; `error`, when given, then says
// which ("port 99999 is out of range (1-65535)").
bool split_host_port(const std::string& text, std::string& host, std::uint16_t& port,
                     std::string* error = nullptr);

}  // namespace tolvi::client
