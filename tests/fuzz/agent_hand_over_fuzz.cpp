// The service reads status messages from an agent that runs as another account, and the agent
// reads secrets messages: neither parser may fail on any bytes.
#include <cstddef>
#include <cstdint>
#include <span>

#include "service/agent_hand_over.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> message(data, size);
  tolvi::HandedSecrets secrets;
  tolvi::decode_secrets(message, secrets);
  if (const auto status = tolvi::decode_status(message)) {
    // What is stored is one line, never longer than the limit.
    if (status->size() > tolvi::kMaxHandedStatusBytes ||
        status->find('\n') != std::string::npos) {
      __builtin_trap();
    }
  }
  return 0;
}
