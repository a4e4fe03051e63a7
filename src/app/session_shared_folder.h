#pragma once
#include <memory>

#include "core/connection.h"
#include "share/shared_folder.h"

namespace tolvi {

// The session's shared folder: the forwarder over the session's connection, with this
// platform's mount.
std::unique_ptr<SharedFolder> make_session_shared_folder(Connection& connection);

}  // namespace tolvi
