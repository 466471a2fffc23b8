// A fresh tool state on a fresh fake platform for every test.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_microphone_platform.h"
#include "microphone/velloc.h"

namespace velloc::fake {

class VellocTest : public ::testing::Test {
 protected:
  VellocTest() { state.platform = &platform; }

  // Runs the whole tool; the status it ends with, however it ends.
  int run(const std::vector<std::string>& args = {}) {
    try {
      return runVelloc(state, platform, args);
    } catch (const ProcessExit& exit) {
      return exit.status;
    }
  }

  // Runs set-up alone; the exit status when it ends the process.
  std::optional<int> setUp() {
    try {
      setUpEngine(state);
      return std::nullopt;
    } catch (const ProcessExit& exit) {
      return exit.status;
    }
  }

  void setNative(uint32_t commonFormat, double rate, uint32_t channels) {
    platform.input.nativeFormat = AudioFormat{commonFormat, rate, channels, false};
  }

  std::vector<std::string> lines() const { return platform.processControl.lines(); }
  const std::vector<uint8_t>& stdoutBytes() const { return platform.stdoutStream.bytes; }

  FakeMicrophonePlatform platform;
  VellocState state;
};

}  // namespace velloc::fake
