#include "platform/pulse/server_link.h"

#include <chrono>

namespace pulse {
namespace {

// Long enough for a busy desktop server, short enough that a server that has
// stopped answering does not look like a hung tool.
constexpr std::chrono::milliseconds kConnectTimeout{3000};

}  // namespace

PulseConnection* ServerLink::connection() {
  if (!tried_) {
    tried_ = true;
    std::string reason;
    connection_ = PulseConnection::connect("velloc", kConnectTimeout, reason);
    if (!connection_) {
      process_.writeDiagnostic("[tamsel] WARNING: audio server unreachable: " + reason + "\n");
    }
  }
  return connection_.get();
}

}  // namespace pulse
