// The device property queries, answering from a list of described devices.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "microphone/audio_platform.h"

namespace velloc::fake {

// The platform's answer for an object it does not know.
inline constexpr OSStatus kBadObject = 560947818;  // '!obj'

struct FakeDevice {
  AudioObjectID id = 0;
  std::optional<std::string> name;     // nullopt: the platform gives no name
  std::vector<uint32_t> inputStreams;  // channels of each input stream; empty: output-only
  OSStatus configSizeStatus = kNoErr;
  std::optional<uint32_t> configSize;  // reported size instead of the true one
  OSStatus configReadStatus = kNoErr;
  std::optional<uint32_t> claimedBuffers;  // mNumberBuffers written instead of the true count
  OSStatus nameStatus = kNoErr;
};

// A device that answers every query; adjust the other fields afterwards.
inline FakeDevice makeDevice(AudioObjectID id, std::optional<std::string> name,
                             std::vector<uint32_t> inputStreams = {1}) {
  FakeDevice device;
  device.id = id;
  device.name = std::move(name);
  device.inputStreams = std::move(inputStreams);
  return device;
}

class FakeDeviceProperties final : public DeviceProperties {
 public:
  OSStatus deviceListDataSize(uint32_t& byteSize) override;
  OSStatus readDeviceList(uint32_t& byteSize, AudioObjectID* devices) override;
  OSStatus inputStreamConfigurationDataSize(AudioObjectID device, uint32_t& byteSize) override;
  OSStatus readInputStreamConfiguration(AudioObjectID device, uint32_t& byteSize,
                                        void* storage) override;
  OSStatus readDeviceName(AudioObjectID device, std::optional<std::string>& name) override;

  std::vector<FakeDevice> list;
  OSStatus listSizeStatus = kNoErr;
  std::optional<uint32_t> listSize;  // reported size instead of 4 per device
  OSStatus listReadStatus = kNoErr;
  std::optional<std::size_t> listReadEntries;  // write only this many identifiers

  int listSizeQueries = 0;
  std::vector<AudioObjectID> configurationsRead;
  std::vector<AudioObjectID> namesRead;
  // Every configuration read was given aligned storage of the reported size.
  bool storageAlwaysAligned = true;

 private:
  const FakeDevice* find(AudioObjectID id) const;
};

// Byte size of a buffer list with `buffers` entries.
uint32_t bufferListSize(std::size_t buffers);

}  // namespace velloc::fake
