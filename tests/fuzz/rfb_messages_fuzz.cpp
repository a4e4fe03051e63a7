// The peer benchmark's RFB client reads a VNC server's bytes: every parser of them takes any
// input without reading past it, and a message it calls complete never claims more bytes than
// it was given.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "peer/rfb_messages.h"

namespace {

template <typename Parse>
void check(std::span<const std::uint8_t> in, Parse&& parse) {
  const tolvi::bench::RfbStep step = parse(in);
  if (step.status == tolvi::bench::RfbStatus::kDone &&
      (step.consumed == 0 || step.consumed > in.size())) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> in(data, size);
  tolvi::bench::RfbSecurityTypes types;
  check(in, [&](auto bytes) { return tolvi::bench::parse_security_types(bytes, types); });
  tolvi::bench::RfbSecurityResult result;
  check(in, [&](auto bytes) { return tolvi::bench::parse_security_result(bytes, result); });
  tolvi::bench::RfbServerInit init;
  check(in, [&](auto bytes) { return tolvi::bench::parse_server_init(bytes, init); });
  // A stream of server messages, as the client walks it.
  std::span<const std::uint8_t> rest = in;
  while (!rest.empty()) {
    tolvi::bench::RfbServerMessage message;
    const tolvi::bench::RfbStep step = tolvi::bench::parse_server_message(rest, message);
    if (step.status != tolvi::bench::RfbStatus::kDone) break;
    if (step.consumed == 0 || step.consumed > rest.size()) std::abort();
    rest = rest.subspan(step.consumed);
  }
  return 0;
}
