// Arbitrary argument lists and device tables through the command-line scan and
// the device lookup. Besides the sanitizers' checks it asserts what a parent
// relies on: diagnostics are whole lines, and a match names a device whose
// queries all answered and that has input channels.
#include <cstdlib>

#include "tests/fake/microphone/fake_microphone_platform.h"
#include "tests/fuzz/fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  velloc::fake::FakeMicrophonePlatform platform;
  velloc::VellocState state;
  state.platform = &platform;
  auto& devices = platform.deviceList;
  const uint8_t table = in.byte();
  for (uint32_t id = 0; id < table % 6u; ++id) {
    const uint8_t shape = in.byte();
    auto& device = devices.list.emplace_back(velloc::fake::FakeDevice{id, std::nullopt, {}});
    for (int i = shape % 4; i > 0; --i) device.streams.push_back(in.byte() % 3);
    if (!(shape & 0x04)) device.name = in.bytes(in.byte() % 24);
    device.failing = static_cast<velloc::fake::Query>(shape >> 3 & 3);
    if (shape & 0x20) device.configSize = in.byte();
    if (shape & 0x40) device.claimedBuffers = in.byte();
  }
  if (table & 0x40) devices.listSize = in.byte();

  // The rest is the argument list, one argument per NUL-separated piece.
  std::vector<std::string> args;
  const std::string rest = in.bytes(size);
  for (std::size_t start = 0; start <= rest.size();) {
    const std::size_t end = std::min(rest.find('\0', start), rest.size());
    args.push_back(rest.substr(start, end - start));
    start = end + 1;
  }
  velloc::scanCommandLine(state, args);
  if (state.requestedDeviceName) {
    if (const auto match = velloc::findInputDeviceID(state, *state.requestedDeviceName)) {
      const auto& device = devices.list.at(*match);
      const auto none = [](uint32_t channels) { return channels == 0; };
      if (device.failing != velloc::fake::kNone || std::ranges::all_of(device.streams, none))
        std::abort();
    }
  }
  const std::string err = platform.proc.stderrBytes();
  if (!err.empty() && err.back() != '\n') std::abort();
  return 0;
}
