// Four-character codes read as big-endian integers, like the platform statuses velloc's messages
// were written for, so a log's reader can tell them apart.
#pragma once

#include <utility>

#include "microphone/audio_platform.h"
#include "platform/pulse/server_link.h"

namespace pulse {

inline constexpr velloc::OSStatus kStatusNoServer = 0x73746F70;     // 'stop'
inline constexpr velloc::OSStatus kStatusServerError = 0x77686174;  // 'what'
inline constexpr velloc::OSStatus kStatusBadObject = 0x216F626A;    // '!obj'
inline constexpr velloc::OSStatus kStatusBadSize = 0x2173697A;      // '!siz'
// Binding the input to an identifier that names no source.
inline constexpr velloc::OSStatus kStatusInvalidDevice = -10851;

// `refused` when a live server answers without it.
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
