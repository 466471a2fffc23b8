// Queries of the server's sources, sinks and defaults, on a PulseConnection.
//
// How to use it: take the connection's lock, then call any blocking function
// here; each issues one request and waits for its answer (bounded). A source or
// sink that does not exist is a failure too ("No such entity").
//   auto held = connection.lock();
//   auto server = pulse::queryServer(connection);
//   auto sink = pulse::sinkByName(connection, server->defaultSinkName);
//   // record from sink->monitorSourceName to capture what the sink plays
// On the event thread, where nothing may wait, ask*() put the same questions
// and the answers come later to an Answers.
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

// The caller holds the connection's lock for all of these.
Result<ServerInfo> queryServer(PulseConnection& connection);
// Every source, monitors included, in the server's index order.
Result<std::vector<SourceInfo>> listSources(PulseConnection& connection);
Result<SourceInfo> sourceByIndex(PulseConnection& connection, uint32_t index);
Result<SourceInfo> sourceByName(PulseConnection& connection, const std::string& name);
// Every sink, in the server's index order.
Result<std::vector<SinkInfo>> listSinks(PulseConnection& connection);
Result<SinkInfo> sinkByName(PulseConnection& connection, const std::string& name);

// Told the answers to questions asked without waiting: on the event thread with
// the lock held, once a question (a list: once an item), the info or why there
// is none; or, instead, that memory ran out while one was taken in.
class Answers {
 public:
  virtual void answered(Result<ServerInfo>) {}
  virtual void answered(Result<SourceInfo>) {}
  virtual void answered(Result<SinkInfo>) {}
  virtual void ranOut(const Error& error) = 0;

 protected:
  ~Answers() = default;
};
// Under the lock (on the event thread it is held); `answers` must outlive the
// answer. They fail only when the question cannot be asked.
Result<> askServer(PulseConnection& connection, Answers& answers);
Result<> askSource(PulseConnection& connection, const std::string& name, Answers& answers);
Result<> askSink(PulseConnection& connection, const std::string& name, Answers& answers);

}  // namespace pulse
