#include "fake_microphone_platform.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "common/number_format.h"

namespace velloc::fake {

FakeDevice makeDevice(AudioObjectID id, std::optional<std::string> name,
                      std::vector<uint32_t> inputStreams) {
  FakeDevice device;
  device.id = id;
  device.name = std::move(name);
  device.inputStreams = std::move(inputStreams);
  return device;
}

const FakeDevice* FakeDeviceProperties::find(AudioObjectID id, OSStatus FakeDevice::*failure,
                                             OSStatus& status) const {
  const auto found = std::find_if(list.begin(), list.end(), [id](auto& d) { return d.id == id; });
  status = found == list.end() ? kBadObject : (*found).*failure;
  return status == kNoErr ? &*found : nullptr;
}

OSStatus FakeDeviceProperties::deviceListDataSize(uint32_t& byteSize) {
  if (listSizeStatus == kNoErr) {
    byteSize = listSize.value_or(static_cast<uint32_t>(list.size() * sizeof(AudioObjectID)));
  }
  return listSizeStatus;
}

OSStatus FakeDeviceProperties::readDeviceList(uint32_t& byteSize, AudioObjectID* devices) {
  if (listReadStatus != kNoErr) return listReadStatus;
  const std::size_t entries = std::min(
      {byteSize / sizeof(AudioObjectID), list.size(), listReadEntries.value_or(list.size())});
  for (std::size_t i = 0; i < entries; ++i) devices[i] = list[i].id;
  byteSize = static_cast<uint32_t>(entries * sizeof(AudioObjectID));
  return kNoErr;
}

namespace {
constexpr std::size_t kListHeader = offsetof(AudioBufferList, mBuffers);
}  // namespace

OSStatus FakeDeviceProperties::inputStreamConfigurationDataSize(AudioObjectID device,
                                                                uint32_t& byteSize) {
  OSStatus status;
  if (const FakeDevice* found = find(device, &FakeDevice::configSizeStatus, status)) {
    byteSize = found->configSize.value_or(
        static_cast<uint32_t>(kListHeader + found->inputStreams.size() * sizeof(AudioBuffer)));
  }
  return status;
}

// Writes what fits of the count and the entries, as the platform does.
OSStatus FakeDeviceProperties::readInputStreamConfiguration(AudioObjectID device,
                                                            uint32_t& byteSize, void* storage) {
  OSStatus status;
  const FakeDevice* found = find(device, &FakeDevice::configReadStatus, status);
  if (found == nullptr) return status;
  const std::vector<uint32_t>& streams = found->inputStreams;
  std::vector<std::byte> whole(kListHeader + streams.size() * sizeof(AudioBuffer));
  const uint32_t count = found->claimedBuffers.value_or(static_cast<uint32_t>(streams.size()));
  std::memcpy(whole.data(), &count, sizeof count);
  for (std::size_t i = 0; i < streams.size(); ++i) {
    const AudioBuffer entry{streams[i], 0, nullptr};
    std::memcpy(whole.data() + kListHeader + i * sizeof entry, &entry, sizeof entry);
  }
  byteSize = std::min(byteSize, static_cast<uint32_t>(whole.size()));
  std::memcpy(storage, whole.data(), byteSize);
  return kNoErr;
}

OSStatus FakeDeviceProperties::readDeviceName(AudioObjectID device,
                                              std::optional<std::string>& name) {
  OSStatus status;
  if (const FakeDevice* found = find(device, &FakeDevice::nameStatus, status)) name = found->name;
  return status;
}

ConverterOutputStatus ScriptedConverter::convert(PcmBuffer& output,
                                                 std::optional<PlatformError>& errorSlot,
                                                 const ConverterInputBlock& input) {
  capacities.push_back(output.frameCapacity());
  Answers& answered = answers.emplace_back();
  for (int i = 0; i < inputRequests; ++i) {
    ConverterInputStatus given = ConverterInputStatus::endOfStream;
    const PcmBuffer* buffer = input(output.frameCapacity(), given);
    answered.emplace_back(given, buffer);
  }
  const uint32_t frames =
      std::min(framesToEmit.value_or(output.frameCapacity()), output.frameCapacity());
  std::fill_n(output.floatChannelData()[0], frames, 0.5f);
  output.setFrameLength(frames);
  if (error) errorSlot = error;
  return status;
}

namespace {
// Set-up makes converters for rates no tap buffer will ever reach them with.
uint64_t wholeRate(double rate) {
  return std::isfinite(rate) && rate >= 1.0 ? static_cast<uint64_t>(rate) : 1;
}
}  // namespace

ResamplingConverter::ResamplingConverter(double inRate, double outRate)
    : inRate_(wholeRate(inRate)), outRate_(wholeRate(outRate)) {}

ConverterOutputStatus ResamplingConverter::convert(PcmBuffer& output, std::optional<PlatformError>&,
                                                   const ConverterInputBlock& input) {
  const uint32_t capacity = output.frameCapacity();
  uint32_t frames = 0;
  while (frames < capacity) {
    if (sourceIndex(emitted_) + kHoldBack < received_) {
      output.floatChannelData()[0][frames++] = queue_[sourceIndex(emitted_++) - queueStart_];
      continue;
    }
    ConverterInputStatus status = ConverterInputStatus::endOfStream;
    const PcmBuffer* buffer = input(capacity, status);
    if (status != ConverterInputStatus::haveData || buffer == nullptr) break;
    const float* plane = buffer->floatChannelData()[0];
    for (uint32_t i = 0; i < buffer->frameLength(); ++i)
      queue_.push_back(plane[i * buffer->stride()]);
    received_ += buffer->frameLength();
  }
  // Forget the input that no later output frame can need.
  for (; queueStart_ < sourceIndex(emitted_); ++queueStart_) queue_.pop_front();
  output.setFrameLength(frames);
  return frames < capacity ? ConverterOutputStatus::inputRanDry : ConverterOutputStatus::haveData;
}

std::string describe(const AudioFormat& format) {
  return std::string(format.commonFormat == kCommonFormatInt16 ? "int16" : "float32") + " " +
         pcm::formatDouble(format.sampleRate) + "Hz " + std::to_string(format.channelCount) + "ch" +
         (format.interleaved ? " interleaved" : "");
}

namespace {
// The engine the tool owns; the platform stays the test's.
struct EngineHandle final : AudioEngine {
  explicit EngineHandle(AudioEngine& engine) : engine(engine) {}
  InputNode& inputNode() override { return engine.inputNode(); }
  std::optional<PlatformError> start() override { return engine.start(); }
  AudioEngine& engine;
};
}  // namespace

std::unique_ptr<AudioEngine> FakeMicrophonePlatform::makeEngine() {
  return std::make_unique<EngineHandle>(*this);
}

std::optional<PlatformError> FakeMicrophonePlatform::start() {
  processControl.note("start");
  return startError;
}

void FakeMicrophonePlatform::installTap(uint32_t bus, uint32_t bufferSize,
                                        const AudioFormat& format, TapBlock block) {
  processControl.note("installTap(bus " + std::to_string(bus) + ", " + std::to_string(bufferSize) +
                      " frames, " + describe(format) + ")");
  tap = std::move(block);
}

OSStatus FakeMicrophonePlatform::setCurrentDevice(AudioObjectID device) {
  processControl.note("setCurrentDevice(" + std::to_string(device) + ")");
  return bindStatus;
}

std::optional<AudioFormat> FakeMicrophonePlatform::makeFormat(uint32_t commonFormat,
                                                              double sampleRate, uint32_t channels,
                                                              bool interleaved) {
  const AudioFormat format{commonFormat, sampleRate, channels, interleaved};
  processControl.note("makeFormat(" + describe(format) + ")");
  if (formatCalls_++ == failingFormatCall) return std::nullopt;
  return format;
}

std::unique_ptr<AudioConverter> FakeMicrophonePlatform::makeConverter(const AudioFormat& from,
                                                                      const AudioFormat& to) {
  processControl.note("makeConverter(" + describe(from) + " → " + describe(to) + ")");
  if (converterFails) return nullptr;
  return std::make_unique<ResamplingConverter>(from.sampleRate, to.sampleRate);
}

std::unique_ptr<PcmBuffer> makeFloatBuffer(double sampleRate, const std::vector<float>& samples,
                                           uint32_t channels, bool interleaved) {
  const auto frames = static_cast<uint32_t>(samples.size() / channels);
  auto buffer = std::make_unique<PcmBuffer>(
      AudioFormat{kCommonFormatFloat32, sampleRate, channels, interleaved}, frames);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    buffer->floatChannelData()[interleaved ? 0 : i / frames][interleaved ? i : i % frames] =
        samples[i];
  }
  buffer->setFrameLength(frames);
  return buffer;
}

}  // namespace velloc::fake
