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
  if (!connection_) {
    reportUnreachable(failure_);
    return failure_;
  }
  // A server that stopped answering counts as unreachable from then on.
  auto held = connection_->lock();
  if (connection_->timedOut()) {
    const Error failure = connection_->failure();
    reportUnreachable(failure);
    return failure;
  }
  return connection_.get();
}

void ServerLink::reportUnreachable(const Error& error) {
  if (reported_ || !onUnreachable_) return;
  reported_ = true;
  onUnreachable_(error);
}

}  // namespace pulse
