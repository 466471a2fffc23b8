// velloc's device property queries answered from the server's sources.
//
// Every source is a device, monitors included, in the server's index order;
// its identifier is the source index, its name the description people see in
// their sound settings, and its input stream configuration one buffer with the
// source's channel count. The list is read once per device-list query, and the
// per-device questions that follow are answered from that same reading, so one
// lookup sees one consistent picture of the server.
#pragma once

#include <optional>
#include <vector>

#include "microphone/audio_platform.h"
#include "platform/pulse/server_link.h"
#include "platform/pulse/server_queries.h"

namespace pulse {

class PulseDeviceProperties final : public velloc::DeviceProperties {
 public:
  explicit PulseDeviceProperties(ServerLink& link) : link_(link) {}

  velloc::OSStatus deviceListDataSize(uint32_t& byteSize) override;
  velloc::OSStatus readDeviceList(uint32_t& byteSize, velloc::AudioObjectID* devices) override;
  velloc::OSStatus inputStreamConfigurationDataSize(velloc::AudioObjectID device,
                                                    uint32_t& byteSize) override;
  velloc::OSStatus readInputStreamConfiguration(velloc::AudioObjectID device, uint32_t& byteSize,
                                                void* storage) override;
  velloc::OSStatus readDeviceName(velloc::AudioObjectID device,
                                  std::optional<std::string>& name) override;

 private:
  velloc::OSStatus refresh();
  // The source from the last reading, or asked of the server when it is not in it.
  velloc::OSStatus find(velloc::AudioObjectID device, SourceInfo& source);

  ServerLink& link_;
  std::optional<std::vector<SourceInfo>> sources_;
};

}  // namespace pulse
