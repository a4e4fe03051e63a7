#pragma once
#include <cstdint>
#include <vector>

namespace tolvi {

// The client's shared folder, forwarded over the session and mapped as a drive.
class SharedFolder {
 public:
  virtual ~SharedFolder() = default;
  // FolderShare: the client announces its folder.
  virtual void handle_folder_share(const std::vector<std::uint8_t>& payload) = 0;
  // FolderData and FolderClose from the client.
  virtual void handle_folder_traffic(std::uint8_t type,
                                     const std::vector<std::uint8_t>& payload) = 0;
  // Ends forwarding and removes the drive mapping.
  virtual void stop_shared_folder() = 0;
};

}  // namespace tolvi
