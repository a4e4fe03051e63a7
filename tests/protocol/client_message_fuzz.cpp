// The reader of client payloads: the first input byte is the message type, the rest its
// payload. Every call the handler records must match what the type and length allow. The same
// bytes are also read as a FolderShare payload, whose fields the forwarder reads itself.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "protocol/client_messages.h"
#include "protocol/recording_handler.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::vector<std::uint8_t> payload(data + 1, data + size);
  tolvi::test::RecordingHandler handler;
  const bool handled = tolvi::read_client_message(data[0], payload, handler);
  // One call for a handled message, none for an ignored one.
  if (handler.calls.size() != (handled ? 1u : 0u)) std::abort();
  // An accepted announcement holds a token of hexadecimal digits only, and both fields fit
  // in what arrived.
  if (const auto share = tolvi::read_folder_share(payload)) {
    for (const char c : share->token) {
      if (!std::isxdigit(static_cast<unsigned char>(c))) std::abort();
    }
    if (share->token.size() + share->name.size() + 5 > payload.size()) std::abort();
  }
  return 0;
}
