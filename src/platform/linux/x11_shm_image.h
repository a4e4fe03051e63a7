#pragma once
#include <X11/Xlib.h>
#include <X11/extensions/XShm.h>

#include <cstdint>
#include <memory>

#include "platform/linux/x11_connection.h"

namespace tolvi::platform {

// A shared-memory image the server writes grabs into. It owns the segment's attachment; the
// mapping itself is shared with desktop images that were lent it. Not copyable: a copy would
// detach and free the same segment twice.
class ShmImage {
 public:
  ShmImage() = default;
  ~ShmImage() { release(); }
  ShmImage(const ShmImage&) = delete;
  ShmImage& operator=(const ShmImage&) = delete;

  // A width x height image in a new segment the server has attached; false when any step
  // fails (call release() then).
  bool create(X11Connection& connection, std::int32_t width, std::int32_t height);
  // Detaches and frees the image; the mapping stays until its last holder lets go.
  void release();

  XImage* image() const { return image_; }
  bool attached() const { return connection_ != nullptr; }
  const std::shared_ptr<std::uint8_t>& mapping() const { return mapping_; }

 private:
  std::shared_ptr<std::uint8_t> mapping_;
  XShmSegmentInfo info_{0, -1, nullptr, False};
  XImage* image_ = nullptr;
  X11Connection* connection_ = nullptr;
};

// Only 32-bit little-endian B, G, R, x pixels are taken as they are.
bool is_bgrx(const XImage* image);

}  // namespace tolvi::platform
