// Status codes the audio layer answers velloc's device and binding calls with.
// Four-character codes read as big-endian integers, like the platform statuses
// velloc's messages were written for, so a reader of a log can tell them apart.
#pragma once

#include <utility>

#include "microphone/audio_platform.h"
#include "platform/pulse/server_link.h"

namespace pulse {

// No audio server could be reached.
inline constexpr velloc::OSStatus kStatusNoServer = 0x73746F70;  // 'stop'
// The server was reached but did not answer the query.
inline constexpr velloc::OSStatus kStatusServerError = 0x77686174;  // 'what'
// No source has that identifier.
inline constexpr velloc::OSStatus kStatusBadObject = 0x216F626A;  // '!obj'
// The storage offered cannot hold the answer.
inline constexpr velloc::OSStatus kStatusBadSize = 0x2173697A;  // '!siz'
// Binding the input to an identifier that names no source.
inline constexpr velloc::OSStatus kStatusInvalidDevice = -10851;

// Reads `into` from what `question` (answering a Result) gets of the server, as
// velloc's status: kNoErr, `refused` when the server answers without it, or the
// server failing, or none to be reached.
template <typename T, typename Question>
velloc::OSStatus readInto(T& into, ServerLink& link, velloc::OSStatus refused,
                          Question&& question) {
  auto status = link.query([&](PulseConnection& server) -> Result<velloc::OSStatus> {
    auto answer = question(server);
    if (!answer) return server.alive() ? refused : kStatusServerError;
    into = std::move(*answer);
    return velloc::kNoErr;
  });
  return status ? *status : kStatusNoServer;
}

}  // namespace pulse
