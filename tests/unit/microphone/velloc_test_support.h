// A fresh tool state on a fresh fake platform, and the lines most tests expect.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_microphone_platform.h"
#include "microphone/velloc.h"

namespace velloc::fake {

inline const std::string kNoDevice = "[tamsel] No --device-id arg, using system default input\n";
inline const std::string kVoiceOff =
    "[tamsel] Voice processing OFF (raw mic — preserves SCK system audio capture)\n";
inline const std::string kNative = "[tamsel] Native input format: ";
inline const std::string kMakeTarget = "makeFormat(int16 16000.0Hz 1ch interleaved)";
inline const std::string kMakeFloat = "makeFormat(float32 16000.0Hz 1ch)";
inline const std::string kConverterTap = "[tamsel] Installed tap with format conversion\n";
inline const std::string kDirectTap =
    "[tamsel] Installed tap with Float32→Int16 conversion (no rate conversion needed)\n";

inline std::string firstCallback(uint32_t frames) {
  return "[tamsel] First tap callback fired (frameLength=" + std::to_string(frames) + ")\n";
}

struct Velloc {
  explicit Velloc(AudioFormat native = {kCommonFormatFloat32, 48000.0, 2, false}) {
    state.platform = &platform;
    platform.nativeFormat = native;
  }

  // Runs the whole tool; the status it ends with, however it ends.
  int run(const Lines& args = {}) {
    int returned = -1;
    return exitStatusOf([&] { returned = runVelloc(state, platform, args); }).value_or(returned);
  }
  // Runs set-up alone; the exit status when it ends the process.
  std::optional<int> setUp() {
    return exitStatusOf([&] { setUpEngine(state); });
  }

  Lines transcript() const { return platform.processControl.transcript(); }
  std::string stdoutBytes() const { return platform.processControl.stdoutBytes(); }

  FakeMicrophonePlatform platform;
  VellocState state;
};

class VellocTest : public ::testing::Test, public Velloc {};

}  // namespace velloc::fake
