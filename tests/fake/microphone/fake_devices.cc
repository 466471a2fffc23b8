#include "fake_devices.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace velloc::fake {

uint32_t bufferListSize(std::size_t buffers) {
  return static_cast<uint32_t>(offsetof(AudioBufferList, mBuffers) + buffers * sizeof(AudioBuffer));
}

const FakeDevice* FakeDeviceProperties::find(AudioObjectID id) const {
  for (const auto& device : list) {
    if (device.id == id) return &device;
  }
  return nullptr;
}

OSStatus FakeDeviceProperties::deviceListDataSize(uint32_t& byteSize) {
  ++listSizeQueries;
  if (listSizeStatus != kNoErr) return listSizeStatus;
  byteSize = listSize.value_or(static_cast<uint32_t>(list.size() * sizeof(AudioObjectID)));
  return kNoErr;
}

OSStatus FakeDeviceProperties::readDeviceList(uint32_t& byteSize, AudioObjectID* devices) {
  if (listReadStatus != kNoErr) return listReadStatus;
  std::size_t entries = std::min<std::size_t>(byteSize / sizeof(AudioObjectID), list.size());
  if (listReadEntries) entries = std::min(entries, *listReadEntries);
  for (std::size_t i = 0; i < entries; ++i) devices[i] = list[i].id;
  byteSize = static_cast<uint32_t>(entries * sizeof(AudioObjectID));
  return kNoErr;
}

OSStatus FakeDeviceProperties::inputStreamConfigurationDataSize(AudioObjectID device,
                                                                uint32_t& byteSize) {
  const FakeDevice* found = find(device);
  if (found == nullptr) return kBadObject;
  if (found->configSizeStatus != kNoErr) return found->configSizeStatus;
  byteSize = found->configSize.value_or(bufferListSize(found->inputStreams.size()));
  return kNoErr;
}

OSStatus FakeDeviceProperties::readInputStreamConfiguration(AudioObjectID device,
                                                            uint32_t& byteSize, void* storage) {
  configurationsRead.push_back(device);
  const FakeDevice* found = find(device);
  if (found == nullptr) return kBadObject;
  if (found->configReadStatus != kNoErr) return found->configReadStatus;
  if (reinterpret_cast<std::uintptr_t>(storage) % alignof(AudioBufferList) != 0) {
    storageAlwaysAligned = false;
  }

  // Write what fits, as the platform does: the count, then whole entries.
  auto* out = static_cast<std::byte*>(storage);
  const uint32_t count =
      found->claimedBuffers.value_or(static_cast<uint32_t>(found->inputStreams.size()));
  if (byteSize < sizeof(uint32_t)) {
    byteSize = 0;
    return kNoErr;
  }
  std::memcpy(out, &count, sizeof count);
  std::size_t written = offsetof(AudioBufferList, mBuffers);
  for (const uint32_t channels : found->inputStreams) {
    if (written + sizeof(AudioBuffer) > byteSize) break;
    const AudioBuffer entry{channels, 0, nullptr};
    std::memcpy(out + written, &entry, sizeof entry);
    written += sizeof(AudioBuffer);
  }
  byteSize = static_cast<uint32_t>(std::min<std::size_t>(written, byteSize));
  return kNoErr;
}

OSStatus FakeDeviceProperties::readDeviceName(AudioObjectID device,
                                              std::optional<std::string>& name) {
  namesRead.push_back(device);
  const FakeDevice* found = find(device);
  if (found == nullptr) return kBadObject;
  if (found->nameStatus != kNoErr) return found->nameStatus;
  name = found->name;
  return kNoErr;
}

}  // namespace velloc::fake
