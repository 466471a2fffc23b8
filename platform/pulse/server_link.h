// velloc's one connection to the audio server, made on first use. When the
// server cannot be reached the link says so once on standard error and every
// later use sees no connection, so the tool carries on to its own verdict on
// the (empty) native format instead of hanging or failing somewhere else.
#pragma once

#include <memory>
#include <string>

#include "common/process_control.h"
#include "platform/pulse/pulse_connection.h"

namespace pulse {

class ServerLink {
 public:
  explicit ServerLink(pcm::ProcessControl& process) : process_(process) {}

  // The connection, or null when the server cannot be reached.
  PulseConnection* connection();

 private:
  pcm::ProcessControl& process_;
  bool tried_ = false;
  std::unique_ptr<PulseConnection> connection_;
};

}  // namespace pulse
