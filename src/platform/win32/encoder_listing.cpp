#include "platform/win32/encoder_listing.h"

namespace tolvi::platform::win32 {

bool EncoderListing::keep(const std::string& class_id, std::optional<std::uint64_t> adapter) {
  if (!adapter) {
    for (const auto& [seen_class, seen_adapter] : seen_) {
      if (seen_class == class_id && seen_adapter) return false;
    }
  }
  return seen_.emplace(class_id, adapter).second;
}

bool offer_capture_device(std::optional<std::uint64_t> encoder_adapter,
                          std::uint64_t device_adapter) {
  return device_adapter != 0 && encoder_adapter && *encoder_adapter == device_adapter;
}

}  // namespace tolvi::platform::win32
