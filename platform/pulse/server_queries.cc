#include "platform/pulse/server_queries.h"

#include <pulse/error.h>
#include <pulse/introspect.h>

#include <algorithm>

namespace pulse {
namespace {

// What a list callback collects until the server marks the end of the list.
template <typename T>
struct Collector {
  explicit Collector(PulseConnection* owner) : connection(owner) {}
  PulseConnection* connection;
  std::vector<T> items;
  bool failed = false;
};

std::optional<std::string> text(const char* value) {
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

SourceInfo toSource(const pa_source_info& info) {
  SourceInfo source;
  source.index = info.index;
  source.name = info.name != nullptr ? info.name : "";
  source.description = text(info.description);
  source.sampleSpec = info.sample_spec;
  source.channelMap = info.channel_map;
  source.isMonitor = info.monitor_of_sink != PA_INVALID_INDEX;
  return source;
}

SinkInfo toSink(const pa_sink_info& info) {
  SinkInfo sink;
  sink.index = info.index;
  sink.name = info.name != nullptr ? info.name : "";
  sink.description = text(info.description);
  sink.sampleSpec = info.sample_spec;
  sink.channelMap = info.channel_map;
  sink.monitorSourceName = info.monitor_source_name != nullptr ? info.monitor_source_name : "";
  return sink;
}

void onSource(pa_context*, const pa_source_info* info, int eol, void* userdata) {
  auto* collector = static_cast<Collector<SourceInfo>*>(userdata);
  if (eol < 0) collector->failed = true;
  if (eol == 0 && info != nullptr) collector->items.push_back(toSource(*info));
  collector->connection->signal();
}

void onSink(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
  auto* collector = static_cast<Collector<SinkInfo>*>(userdata);
  if (eol < 0) collector->failed = true;
  if (eol == 0 && info != nullptr) collector->items.push_back(toSink(*info));
  collector->connection->signal();
}

void onServer(pa_context*, const pa_server_info* info, void* userdata) {
  auto* collector = static_cast<Collector<ServerInfo>*>(userdata);
  if (info == nullptr) {
    collector->failed = true;
  } else {
    ServerInfo server;
    server.defaultSinkName = info->default_sink_name != nullptr ? info->default_sink_name : "";
    server.defaultSourceName =
        info->default_source_name != nullptr ? info->default_source_name : "";
    server.sampleSpec = info->sample_spec;
    collector->items.push_back(std::move(server));
  }
  collector->connection->signal();
}

template <typename T>
Result<std::vector<T>> finishList(PulseConnection& connection, pa_operation* operation,
                                  Collector<T>& collector) {
  if (!connection.waitFor(operation) || collector.failed) return connection.failure();
  return std::move(collector.items);
}

// The server's index order: the order devices were made in.
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

}  // namespace

Result<ServerInfo> queryServer(PulseConnection& connection) {
  Collector<ServerInfo> collector(&connection);
  pa_operation* op = pa_context_get_server_info(connection.context(), onServer, &collector);
  return single(finishList(connection, op, collector));
}

Result<std::vector<SourceInfo>> listSources(PulseConnection& connection) {
  Collector<SourceInfo> collector(&connection);
  pa_operation* op = pa_context_get_source_info_list(connection.context(), onSource, &collector);
  return inIndexOrder(finishList(connection, op, collector));
}

Result<SourceInfo> sourceByIndex(PulseConnection& connection, uint32_t index) {
  Collector<SourceInfo> collector(&connection);
  pa_operation* op =
      pa_context_get_source_info_by_index(connection.context(), index, onSource, &collector);
  return single(finishList(connection, op, collector));
}

Result<SourceInfo> sourceByName(PulseConnection& connection, const std::string& name) {
  Collector<SourceInfo> collector(&connection);
  pa_operation* op =
      pa_context_get_source_info_by_name(connection.context(), name.c_str(), onSource, &collector);
  return single(finishList(connection, op, collector));
}

Result<std::vector<SinkInfo>> listSinks(PulseConnection& connection) {
  Collector<SinkInfo> collector(&connection);
  pa_operation* op = pa_context_get_sink_info_list(connection.context(), onSink, &collector);
  return inIndexOrder(finishList(connection, op, collector));
}

Result<SinkInfo> sinkByName(PulseConnection& connection, const std::string& name) {
  Collector<SinkInfo> collector(&connection);
  pa_operation* op =
      pa_context_get_sink_info_by_name(connection.context(), name.c_str(), onSink, &collector);
  return single(finishList(connection, op, collector));
}

}  // namespace pulse
