#include <algorithm>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "microphone/name_match.h"
#include "microphone/velloc.h"
#include "microphone/velloc_lines.h"

namespace velloc {
namespace {

static_assert(alignof(AudioBufferList) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__,
              "new[] storage must be aligned for AudioBufferList");

// A platform that reports more buffers than its data holds must not make us read past the storage.
uint32_t buffersThatFit(uint32_t byteSize) {
  constexpr std::size_t header = offsetof(AudioBufferList, mBuffers);
  if (byteSize < header) return 0;
  return static_cast<uint32_t>((byteSize - header) / sizeof(AudioBuffer));
}

std::optional<uint32_t> inputChannelCount(DeviceProperties& devices, AudioObjectID device) {
  uint32_t reported = 0;
  if (devices.inputStreamConfigurationDataSize(device, reported) != kNoErr || reported == 0) {
    return std::nullopt;
  }
  // At least a whole header, so the count can always be read; zeroed, so bytes the platform leaves
  // untouched read as no channels.
  const std::size_t allocated = std::max<std::size_t>(reported, sizeof(AudioBufferList));
  auto storage = std::make_unique<std::byte[]>(allocated);
  uint32_t byteSize = reported;
  if (devices.readInputStreamConfiguration(device, byteSize, storage.get()) != kNoErr) {
    return std::nullopt;
  }
  const uint32_t valid = std::min(byteSize, reported);
  const auto* list = reinterpret_cast<const AudioBufferList*>(storage.get());
  const uint32_t buffers = std::min(list->mNumberBuffers, buffersThatFit(valid));
  uint32_t channels = 0;
  for (uint32_t i = 0; i < buffers; ++i) channels += list->mBuffers[i].mNumberChannels;
  return channels;
}

}  // namespace

std::optional<AudioObjectID> findInputDeviceID(VellocState& state, std::string_view named) {
  pcm::ProcessControl& process = state.platform->process();
  DeviceProperties& devices = state.platform->devices();

  uint32_t listSize = 0;
  const OSStatus sizeStatus = devices.deviceListDataSize(listSize);
  if (sizeStatus != kNoErr || listSize == 0) {
    say(process, lines::kDeviceListSizeFailed,
        {std::to_string(sizeStatus), std::to_string(listSize)});
    return std::nullopt;
  }

  std::vector<AudioObjectID> list(listSize / sizeof(AudioObjectID), 0);
  uint32_t readSize = static_cast<uint32_t>(list.size() * sizeof(AudioObjectID));
  const OSStatus readStatus = devices.readDeviceList(readSize, list.data());
  if (readStatus != kNoErr) {
    say(process, lines::kDeviceListFailed, {std::to_string(readStatus)});
    return std::nullopt;
  }
  // Devices that went between the two queries leave the list shorter than asked.
  list.resize(std::min<std::size_t>(list.size(), readSize / sizeof(AudioObjectID)));

  for (const AudioObjectID device : list) {
    const auto channels = inputChannelCount(devices, device);
    if (!channels || *channels == 0) continue;

    std::optional<std::string> name;
    if (devices.readDeviceName(device, name) != kNoErr || !name) continue;

    if (namesMatch(*name, named)) {
      say(process, lines::kDeviceMatched,
          {*name, std::to_string(device), std::to_string(*channels)});
      return device;
    }
  }

  say(process, lines::kNoDeviceMatched, {named});
  return std::nullopt;
}

}  // namespace velloc
