#include "platform/pulse/server_link.h"

namespace pulse {

Result<PulseConnection*> ServerLink::connection() {
  std::lock_guard guard(mutex_);
  if (!tried_) {
    tried_ = true;
    auto made = PulseConnection::connect(applicationName_);
    if (made) {
      connection_ = std::move(*made);
    } else {
      failure_ = made.error();
    }
  }
  Result<> usable = failure_;
  if (connection_) {
    auto held = connection_->lock();
    usable = connection_->answering();
  }
  if (usable) return connection_.get();
  reportUnreachable(usable.error());
  return usable.error();
}

void ServerLink::reportUnreachable(const Error& error) {
  if (reported_ || !onUnreachable_) return;
  reported_ = true;
  onUnreachable_(error);
}

}  // namespace pulse
