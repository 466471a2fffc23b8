// Blocking queries of the server's sources, sinks and defaults, on a
// PulseConnection.
//
// How to use it: take the connection's lock, then call any function here; each
// issues one request and waits for its answer (bounded). A result without a
// value carries the reason in `error`; a source or sink that does not exist is
// reported as an error too ("No such entity").
//   auto held = connection.lock();
//   auto server = pulse::queryServer(connection);
//   auto sink = pulse::sinkByName(connection, server.value->defaultSinkName);
//   // record from sink.value->monitorSourceName to capture what the sink plays
#pragma once

#include <pulse/channelmap.h>
#include <pulse/sample.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/pulse/pulse_connection.h"

namespace pulse {

template <typename T>
struct Answer {
  std::optional<T> value;
  std::string error;  // set when value is empty
};

struct SourceInfo {
  uint32_t index = 0;
  std::string name;
  std::optional<std::string> description;
  pa_sample_spec sampleSpec{};
  pa_channel_map channelMap{};
  bool isMonitor = false;
};

struct SinkInfo {
  uint32_t index = 0;
  std::string name;
  std::optional<std::string> description;
  pa_sample_spec sampleSpec{};
  pa_channel_map channelMap{};
  std::string monitorSourceName;
};

struct ServerInfo {
  std::string defaultSinkName;    // empty when the server has none
  std::string defaultSourceName;  // empty when the server has none
  pa_sample_spec sampleSpec{};
};

// The caller holds the connection's lock for all of these.
Answer<ServerInfo> queryServer(PulseConnection& connection);
// Every source, monitors included, in the server's index order.
Answer<std::vector<SourceInfo>> listSources(PulseConnection& connection);
Answer<SourceInfo> sourceByIndex(PulseConnection& connection, uint32_t index);
Answer<SourceInfo> sourceByName(PulseConnection& connection, const std::string& name);
// Every sink, in the server's index order.
Answer<std::vector<SinkInfo>> listSinks(PulseConnection& connection);
Answer<SinkInfo> sinkByName(PulseConnection& connection, const std::string& name);

}  // namespace pulse
