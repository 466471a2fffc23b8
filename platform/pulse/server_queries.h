#pragma once

#include <pulse/channelmap.h>
#include <pulse/sample.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/pulse/pulse_connection.h"
#include "platform/pulse/result.h"

namespace pulse {

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

// Each waits (bounded) with the caller holding the lock. A missing device fails: "No such entity".
Result<ServerInfo> queryServer(PulseConnection& connection);
// Monitors included; lists are in the server's index order.
Result<std::vector<SourceInfo>> listSources(PulseConnection& connection);
Result<SourceInfo> sourceByIndex(PulseConnection& connection, uint32_t index);
Result<SourceInfo> sourceByName(PulseConnection& connection, const std::string& name);
Result<std::vector<SinkInfo>> listSinks(PulseConnection& connection);
Result<SinkInfo> sinkByName(PulseConnection& connection, const std::string& name);

// For the event thread, where nothing may wait. Answers come there, with the lock held, once a
// question (a list: once an item); or, instead, ranOut() when memory ran out taking one in.
class Answers {
 public:
  virtual void answered(Result<ServerInfo>) {}
  virtual void answered(Result<SourceInfo>) {}
  virtual void answered(Result<SinkInfo>) {}
  virtual void ranOut(const Error& error) = 0;

 protected:
  ~Answers() = default;
};
// `answers` must outlive the answer. They fail only when the question cannot be asked.
Result<> askServer(PulseConnection& connection, Answers& answers);
Result<> askSource(PulseConnection& connection, const std::string& name, Answers& answers);
Result<> askSink(PulseConnection& connection, const std::string& name, Answers& answers);

}  // namespace pulse
