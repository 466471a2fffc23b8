// Feeds arbitrary argument lists and device tables through the command-line scan
// and the device lookup on the fake platform. Besides the sanitizers' checks it
// asserts what a parent relies on: every diagnostic is whole lines, and a match
// names a device that really has input channels.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fake_microphone_platform.h"
#include "microphone/velloc.h"

namespace {

class Reader {
 public:
  Reader(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ >= size_; }
  uint8_t byte() { return empty() ? 0 : data_[at_++]; }
  std::string text() {
    const std::size_t length = byte() % 24;
    std::string out;
    while (out.size() < length && !empty()) out.push_back(static_cast<char>(byte()));
    return out;
  }
  std::string rest() {
    std::string out(reinterpret_cast<const char*>(data_ + at_), size_ - at_);
    at_ = size_;
    return out;
  }

 private:
  const uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

velloc::fake::FakeDevice readDevice(Reader& in, velloc::AudioObjectID id) {
  const uint8_t shape = in.byte();
  std::vector<uint32_t> streams;
  for (int i = shape % 4; i > 0; --i) streams.push_back(in.byte() % 3);
  auto device = velloc::fake::makeDevice(id, in.text(), streams);
  if (shape & 0x10) device.name.reset();
  if (shape & 0x20) device.configSize = in.byte();
  if (shape & 0x40) device.claimedBuffers = in.byte();
  if (shape & 0x80) device.nameStatus = -1;
  return device;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  Reader in(data, size);
  velloc::fake::FakeMicrophonePlatform platform;
  velloc::VellocState state;
  state.platform = &platform;

  const uint8_t table = in.byte();
  for (uint32_t i = 0; i < table % 6u; ++i)
    platform.deviceProperties.list.push_back(readDevice(in, i));
  if (table & 0x40) platform.deviceProperties.listSize = in.byte();

  // The remaining bytes are the argument list, one argument per NUL-separated piece.
  std::vector<std::string> args;
  const std::string rest = in.rest();
  for (std::size_t start = 0; start <= rest.size();) {
    const std::size_t end = std::min(rest.find('\0', start), rest.size());
    args.push_back(rest.substr(start, end - start));
    start = end + 1;
  }

  velloc::scanCommandLine(state, args);
  if (state.requestedDeviceName) {
    const auto match = velloc::findInputDeviceID(state, *state.requestedDeviceName);
    if (match) {
      bool hasInput = false;
      for (const auto& device : platform.deviceProperties.list) {
        if (device.id != *match) continue;
        for (const uint32_t channels : device.inputStreams) hasInput |= channels > 0;
      }
      if (!hasInput) std::abort();
    }
  }
  const std::string err = platform.processControl.stderrBytes();
  if (!err.empty() && err.back() != '\n') std::abort();
  return 0;
}
