// Argument lists and device tables through velloc's command-line scan and
// device lookup. Besides the sanitizers' checks it asserts what a parent relies
// on: diagnostics are whole lines, a name is requested only when it follows
// --device-id, a failed list query's status is printed signed, and the device
// matched is the first listed whose queries all answered, that has the name and
// input channels (those of the buffers its reported size holds, as many as its
// matched line says). Names and arguments are mostly words that match one
// another in different ways.
#include <cstdlib>

#include "microphone/name_match.h"
#include "tests/fake/microphone/fake_microphone_platform.h"
#include "tests/fuzz/fuzz_input.h"

using namespace velloc;
using namespace velloc::fake;

namespace {

std::string word(FuzzInput& in) {
  static const std::string words[] = {"--device-id",  "",    "Mic", "mic", "Mic ", "Caf\xC3\xA9",
                                      "Cafe\xCC\x81", "\xFF"};
  const uint8_t pick = in.byte();
  return pick < 224 ? words[pick % 8] : in.bytes(pick % 16);
}

uint32_t inputChannels(const FakeDevice& d) {
  const uint32_t reported = d.configSize.value_or(FakeDevices::trueSize(d));
  const uint32_t valid = std::min(reported, FakeDevices::trueSize(d));
  const uint32_t fit = valid < kHeader ? 0 : (valid - kHeader) / sizeof(AudioBuffer);
  uint32_t sum = 0;
  for (uint32_t i = 0; i < std::min<std::size_t>(d.claimedBuffers.value_or(fit), fit); ++i)
    sum += d.streams[i];
  return d.failing == kNone ? sum : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzInput in{data, size};
  FakeMicrophonePlatform platform;
  VellocState state;
  state.platform = &platform;
  std::vector<FakeDevice>& list = platform.deviceList.list;
  const uint8_t table = in.byte();
  for (uint32_t id = 0; id < table % 6u; ++id) {
    const uint8_t shape = in.byte();
    FakeDevice& device = list.emplace_back(FakeDevice{id, std::nullopt, {}});
    for (int i = shape % 4; i > 0; --i) device.streams.push_back(in.byte() % 3);
    if (!(shape & 0x04)) device.name = word(in);
    device.failing = static_cast<Query>(shape >> 3 & 3);
    if (shape & 0x20) device.configSize = in.byte();
    if (shape & 0x40) device.claimedBuffers = in.byte();
  }
  if (table & 0x40) platform.deviceList.listSize = in.byte();
  if (table & 0x80) platform.deviceList.listSizeStatus = -1 - in.byte() % 100;
  if (table & 0x20) platform.deviceList.readLimit = in.byte() % 2;
  std::vector<std::string> args(in.byte() % 6);
  for (std::string& arg : args) arg = word(in);

  scanCommandLine(state, args);
  if (const auto& name = state.requestedDeviceName) {
    bool given = false;
    for (std::size_t i = 0; i + 1 < args.size(); ++i)
      given |= args[i] == "--device-id" && args[i + 1] == *name;
    if (name->empty() || !given) std::abort();

    const std::size_t listed =
        std::min({std::size_t{platform.deviceList.listSize.value_or(4 * list.size()) / 4},
                  list.size(), platform.deviceList.readLimit});
    std::optional<AudioObjectID> expected;
    for (std::size_t i = 0; i < listed && !expected && !(table & 0x80); ++i)
      if (inputChannels(list[i]) > 0 && list[i].name && namesMatch(*list[i].name, *name))
        expected = list[i].id;
    const auto match = findInputDeviceID(state, *name);
    if (match != expected) std::abort();
    const std::string counted =
        "channels=" + std::to_string(match ? inputChannels(list[*match]) : 0);
    if (match && !platform.proc.log().back().ends_with(counted + ")\n")) std::abort();
    const auto status = "status=" + std::to_string(platform.deviceList.listSizeStatus) + " ";
    if (table & 0x80 && platform.proc.log().back().find(status) == std::string::npos) std::abort();
  }
  for (const std::string& line : platform.proc.log())
    if (!line.ends_with('\n')) std::abort();
  return 0;
}
