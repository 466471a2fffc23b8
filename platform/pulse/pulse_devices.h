// Every source is a device, monitors included, named by its description. Per-device questions after
// a device-list query are answered from that same reading: one lookup, one picture of the server.
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
