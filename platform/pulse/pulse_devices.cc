#include "platform/pulse/pulse_devices.h"

#include <algorithm>
#include <cstddef>

#include "platform/pulse/platform_status.h"

namespace pulse {
namespace {

// The platform structure with a single buffer.
constexpr uint32_t kConfigurationBytes = sizeof(velloc::AudioBufferList);

}  // namespace

velloc::OSStatus PulseDeviceProperties::refresh() {
  return readInto(sources_, link_, kStatusServerError, listSources);
}

velloc::OSStatus PulseDeviceProperties::deviceListDataSize(uint32_t& byteSize) {
  byteSize = 0;
  if (const auto status = refresh(); status != velloc::kNoErr) return status;
  byteSize = static_cast<uint32_t>(sources_->size() * sizeof(velloc::AudioObjectID));
  return velloc::kNoErr;
}

velloc::OSStatus PulseDeviceProperties::readDeviceList(uint32_t& byteSize,
                                                       velloc::AudioObjectID* devices) {
  if (!sources_) {
    if (const auto status = refresh(); status != velloc::kNoErr) {
      byteSize = 0;
      return status;
    }
  }
  const std::size_t count =
      std::min<std::size_t>(byteSize / sizeof(velloc::AudioObjectID), sources_->size());
  for (std::size_t i = 0; i < count; ++i) devices[i] = (*sources_)[i].index;
  byteSize = static_cast<uint32_t>(count * sizeof(velloc::AudioObjectID));
  return velloc::kNoErr;
}

velloc::OSStatus PulseDeviceProperties::find(velloc::AudioObjectID device, SourceInfo& source) {
  if (sources_) {
    for (const auto& known : *sources_) {
      if (known.index == device) {
        source = known;
        return velloc::kNoErr;
      }
    }
  }
  return readInto(source, link_, kStatusBadObject,
                  [device](PulseConnection& server) { return sourceByIndex(server, device); });
}

velloc::OSStatus PulseDeviceProperties::inputStreamConfigurationDataSize(
    velloc::AudioObjectID device, uint32_t& byteSize) {
  byteSize = 0;
  SourceInfo source;
  if (const auto status = find(device, source); status != velloc::kNoErr) return status;
  byteSize = kConfigurationBytes;
  return velloc::kNoErr;
}

velloc::OSStatus PulseDeviceProperties::readInputStreamConfiguration(velloc::AudioObjectID device,
                                                                     uint32_t& byteSize,
                                                                     void* storage) {
  SourceInfo source;
  if (const auto status = find(device, source); status != velloc::kNoErr) return status;
  if (byteSize < kConfigurationBytes || storage == nullptr) return kStatusBadSize;
  auto* list = static_cast<velloc::AudioBufferList*>(storage);
  list->mNumberBuffers = 1;
  list->mBuffers[0] = velloc::AudioBuffer{source.sampleSpec.channels, 0, nullptr};
  byteSize = kConfigurationBytes;
  return velloc::kNoErr;
}

velloc::OSStatus PulseDeviceProperties::readDeviceName(velloc::AudioObjectID device,
                                                       std::optional<std::string>& name) {
  SourceInfo source;
  if (const auto status = find(device, source); status != velloc::kNoErr) return status;
  name = source.description;
  return velloc::kNoErr;
}

}  // namespace pulse
