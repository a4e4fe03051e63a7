#pragma once
#include <string>

namespace tolvi {

// What the host core tells the user interface. The core calls the observer it is given; the
// process decides who listens (the tray's status store, or the agent's "Status" value that the
// signed-in user's tray polls). Called from the client threads and the thread that starts the
// server; implementations do their own locking.
class HostStatusObserver {
 public:
  virtual ~HostStatusObserver() = default;
  // A client authenticated; `address` is its peer_name.
  virtual void on_client_authenticated(const std::string& address) = 0;
  // The session that was serving (or was about to) has ended.
  virtual void on_client_gone() = 0;
  // Why the host cannot serve.
  virtual void on_host_error(const std::string& text) = 0;
  // The host listens (also after an error it reported: that error no longer holds).
  virtual void on_host_listening() = 0;
};

}  // namespace tolvi
