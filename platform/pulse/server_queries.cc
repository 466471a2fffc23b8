#include "platform/pulse/server_queries.h"

#include <pulse/error.h>
#include <pulse/introspect.h>

#include <algorithm>

namespace pulse {
namespace {

std::optional<std::string> text(const char* value) {
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

std::string name(const char* value) { return value != nullptr ? value : ""; }

ServerInfo toInfo(const pa_server_info& info) {
  ServerInfo server;
  server.defaultSinkName = name(info.default_sink_name);
  server.defaultSourceName = name(info.default_source_name);
  server.sampleSpec = info.sample_spec;
  return server;
}

SourceInfo toInfo(const pa_source_info& info) {
  SourceInfo source;
  source.index = info.index;
  source.name = name(info.name);
  source.description = text(info.description);
  source.sampleSpec = info.sample_spec;
  source.channelMap = info.channel_map;
  source.isMonitor = info.monitor_of_sink != PA_INVALID_INDEX;
  return source;
}

SinkInfo toInfo(const pa_sink_info& info) {
  SinkInfo sink;
  sink.index = info.index;
  sink.name = name(info.name);
  sink.description = text(info.description);
  sink.sampleSpec = info.sample_spec;
  sink.channelMap = info.channel_map;
  sink.monitorSourceName = name(info.monitor_source_name);
  return sink;
}

template <typename Info>
void onInfo(pa_context* context, const Info* info, int eol, void* userdata) {
  if (eol > 0 || (eol == 0 && info == nullptr)) return;
  auto& answers = *static_cast<Answers*>(userdata);
  using T = decltype(toInfo(*info));
  entered(
      [&] {
        answers.answered(eol < 0 ? Result<T>(Error{pa_strerror(pa_context_errno(context))})
                                 : Result<T>(toInfo(*info)));
      },
      [&](const Error& error) { answers.ranOut(error); });
}

void onServer(pa_context* context, const pa_server_info* info, void* userdata) {
  onInfo(context, info, info == nullptr ? -1 : 0, userdata);
}

template <typename T>
struct Collector final : Answers {
  using Answers::answered;
  void answered(Result<T> item) override {
    if (!item) return ranOut(item.error());
    if (items) items->push_back(std::move(*item));
  }
  void ranOut(const Error& error) override { items = error; }
  Answers* answers() { return this; }

  Result<std::vector<T>> wait(PulseConnection& connection, pa_operation* operation) {
    if (auto finished = connection.waitFor(operation); !finished) return finished.error();
    return std::move(items);
  }

  Result<std::vector<T>> items = std::vector<T>();
};

// The order devices were made in.
template <typename T>
Result<std::vector<T>> inIndexOrder(Result<std::vector<T>> list) {
  if (list) {
    std::stable_sort(list->begin(), list->end(),
                     [](const T& a, const T& b) { return a.index < b.index; });
  }
  return list;
}

template <typename T>
Result<T> single(Result<std::vector<T>> list) {
  if (!list) return list.error();
  if (list->empty()) return Error{pa_strerror(PA_ERR_NOENTITY)};
  return std::move(list->front());
}

Result<> asked(PulseConnection& connection, pa_operation* operation) {
  if (operation == nullptr) return connection.failure();
  pa_operation_unref(operation);
  return success();
}

}  // namespace

Result<ServerInfo> queryServer(PulseConnection& connection) {
  Collector<ServerInfo> collector;
  return single(collector.wait(
      connection, pa_context_get_server_info(connection.context(), onServer, collector.answers())));
}

Result<std::vector<SourceInfo>> listSources(PulseConnection& connection) {
  Collector<SourceInfo> collector;
  return inIndexOrder(collector.wait(
      connection,
      pa_context_get_source_info_list(connection.context(), onInfo, collector.answers())));
}

Result<SourceInfo> sourceByIndex(PulseConnection& connection, uint32_t index) {
  Collector<SourceInfo> collector;
  return single(
      collector.wait(connection, pa_context_get_source_info_by_index(connection.context(), index,
                                                                     onInfo, collector.answers())));
}

Result<SourceInfo> sourceByName(PulseConnection& connection, const std::string& name) {
  Collector<SourceInfo> collector;
  return single(collector.wait(
      connection, pa_context_get_source_info_by_name(connection.context(), name.c_str(), onInfo,
                                                     collector.answers())));
}

Result<std::vector<SinkInfo>> listSinks(PulseConnection& connection) {
  Collector<SinkInfo> collector;
  return inIndexOrder(collector.wait(
      connection,
      pa_context_get_sink_info_list(connection.context(), onInfo, collector.answers())));
}

Result<SinkInfo> sinkByName(PulseConnection& connection, const std::string& name) {
  Collector<SinkInfo> collector;
  return single(collector.wait(
      connection, pa_context_get_sink_info_by_name(connection.context(), name.c_str(), onInfo,
                                                   collector.answers())));
}

Result<> askServer(PulseConnection& connection, Answers& answers) {
  return asked(connection, pa_context_get_server_info(connection.context(), onServer, &answers));
}

Result<> askSource(PulseConnection& connection, const std::string& name, Answers& answers) {
  return asked(connection, pa_context_get_source_info_by_name(connection.context(), name.c_str(),
                                                              onInfo, &answers));
}

Result<> askSink(PulseConnection& connection, const std::string& name, Answers& answers) {
  return asked(connection, pa_context_get_sink_info_by_name(connection.context(), name.c_str(),
                                                            onInfo, &answers));
}

}  // namespace pulse
