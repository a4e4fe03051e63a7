#pragma once
// How the encoder catalogue merges its two hardware lists (the capture adapter's encoders,
// then every one) and which encoders it offers the capture device to: the parts that need no
// Media Foundation.
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>

namespace tolvi::platform::win32 {

// Encoders already listed, by class id and adapter.
class EncoderListing {
 public:
  // Whether an encoder of class `class_id` on `adapter` (unset: it does not say) is new to the
  // list and kept. One that does not name its adapter is taken for an encoder already listed
  // with the same class id on a known adapter (the filtered list's), and dropped.
  bool keep(const std::string& class_id, std::optional<std::uint64_t> adapter);

 private:
  std::set<std::pair<std::string, std::optional<std::uint64_t>>> seen_;
};

// The capture device (through a DXGI device manager) goes only to an encoder known to run on
// the device's adapter: one elsewhere would read every surface across adapters.
bool offer_capture_device(std::optional<std::uint64_t> encoder_adapter,
                          std::uint64_t device_adapter);

}  // namespace tolvi::platform::win32
