#include "app/session_shared_folder.h"

#include <utility>

#include "app/modes.h"
#include "platform/folder_mount.h"
#include "share/folder_forwarder.h"
#include "share/folder_link.h"

namespace tolvi {

namespace {

class ConnectionFolderLink : public FolderLink {
 public:
  explicit ConnectionFolderLink(Connection& connection) : connection_(connection) {}
  void send(std::uint8_t type, const std::vector<std::uint8_t>& payload) override {
    connection_.send(type, payload);
  }
  void send_bulk(std::uint8_t type, const std::uint8_t* data, std::size_t length) override {
    connection_.send_bulk(type, data, length);
  }
  std::vector<std::uint8_t> bulk_frame(std::size_t payload_bytes) override {
    return connection_.bulk_frame(payload_bytes);
  }
  void send_bulk_frame(std::uint8_t type, std::vector<std::uint8_t> frame,
                       std::size_t payload_length) override {
    connection_.send_bulk_frame(type, std::move(frame), payload_length);
  }
  void wait_bulk_below(std::uint64_t limit) override { connection_.wait_bulk_below(limit); }
  bool closed() const override { return connection_.closed(); }

 private:
  Connection& connection_;
};

// Owns the link before the forwarder, so the forwarder (and its threads) go first.
class SessionSharedFolder : public SharedFolder {
 public:
  explicit SessionSharedFolder(Connection& connection)
      : link_(connection), folder_(link_, platform::make_folder_mounter()) {}
  void handle_folder_share(const std::vector<std::uint8_t>& payload) override {
    folder_.handle_folder_share(payload);
  }
  void handle_folder_traffic(std::uint8_t type, const std::vector<std::uint8_t>& payload) override {
    folder_.handle_folder_traffic(type, payload);
  }
  void stop_shared_folder() override { folder_.stop_shared_folder(); }

 private:
  ConnectionFolderLink link_;
  ForwardedSharedFolder folder_;
};

}  // namespace

std::unique_ptr<SharedFolder> make_session_shared_folder(Connection& connection) {
  return std::make_unique<SessionSharedFolder>(connection);
}

// --test-run-as-user: what a mapping would run as, and what it would see.
int run_drive_mapping_diagnostic() { return platform::test_run_as_user(); }

}  // namespace tolvi
