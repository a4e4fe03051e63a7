#include "platform/linux/x11_shm_image.h"

#include <X11/Xutil.h>
#include <sys/ipc.h>
#include <sys/shm.h>

namespace tolvi::platform {

bool ShmImage::create(X11Connection& connection, std::int32_t width, std::int32_t height) {
  Display* display = connection.display();
  const int screen = DefaultScreen(display);
  image_ = XShmCreateImage(display, DefaultVisual(display, screen),
                           static_cast<unsigned>(DefaultDepth(display, screen)), ZPixmap, nullptr,
                           &info_, static_cast<unsigned>(width), static_cast<unsigned>(height));
  if (!image_) return false;
  info_.shmid = shmget(
      IPC_PRIVATE,
      static_cast<std::size_t>(image_->bytes_per_line) * static_cast<std::size_t>(image_->height),
      IPC_CREAT | 0600);
  if (info_.shmid < 0) return false;
  void* address = shmat(info_.shmid, nullptr, 0);
  if (address == reinterpret_cast<void*>(-1)) {
    shmctl(info_.shmid, IPC_RMID, nullptr);
    info_.shmid = -1;
    return false;
  }
  info_.shmaddr = image_->data = static_cast<char*>(address);
  info_.readOnly = False;
  // Unmapped when the last holder lets go: desktop images may still show it after release().
  mapping_ = std::shared_ptr<std::uint8_t>(static_cast<std::uint8_t*>(address),
                                           [](std::uint8_t* mapped) { shmdt(mapped); });
  const bool attached = XShmAttach(display, &info_) && connection.sync_errors() == 0;
  // Marked for removal now: the segment goes away with the last detach, even after a crash.
  shmctl(info_.shmid, IPC_RMID, nullptr);
  if (!attached) return false;
  connection_ = &connection;
  return true;
}

void ShmImage::release() {
  if (connection_ && !connection_->broken()) XShmDetach(connection_->display(), &info_);
  connection_ = nullptr;
  if (image_) {
    image_->data = nullptr;  // the segment is not Xlib's to free
    XDestroyImage(image_);
    image_ = nullptr;
  }
  if (mapping_) {
    mapping_.reset();
  } else if (info_.shmaddr) {
    shmdt(info_.shmaddr);
  }
  info_ = {};
  info_.shmid = -1;
}

// Only 32-bit little-endian B, G, R, x pixels are taken as they are.
bool is_bgrx(const XImage* image) {
  return image->bits_per_pixel == 32 && image->byte_order == LSBFirst &&
         image->red_mask == 0xff0000 && image->green_mask == 0xff00 && image->blue_mask == 0xff;
}

}  // namespace tolvi::platform
