// A private audio server for tests, with virtual devices, so no test needs sound
// hardware or touches an audio server it did not start.
//
// How to use it:
//   std::string error;
//   auto server = pulsetest::PulseTestServer::start(error);   // null + error on failure
//   auto mic = server->addMicrophone("usb", 48000, 2, "USB Mic", error);
//   auto velloc = pulsetest::ChildProcess::start({"build/bin/velloc"}, server->childOptions());
//   auto player = server->play(mic->sinkName, 48000, 2, samples);   // float32le, interleaved
//   server->kill(SIGKILL);                                           // the server dies mid-run
// Each server lives in a fresh temporary folder (its own XDG_RUNTIME_DIR,
// HOME and configuration) and is stopped by its own PIDs when the object goes
// away. Float audio goes through `format=float32le` null sinks bit for bit.
//
// The server is PulseAudio, or PipeWire with its pulse server when
// CAPTURE_TEST_SERVER=pipewire; clients see the same protocol and the same
// virtual devices either way.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/e2e/child_process.h"
#include "tests/e2e/pipewire_processes.h"

namespace pulsetest {

// A null sink fed by `play`, and a source on its monitor that carries the
// description a person would pick it by.
struct VirtualMicrophone {
  std::string sinkName;
  std::string sourceName;
  uint32_t sinkModule = 0;
  uint32_t sourceModule = 0;
};

class PulseTestServer {
 public:
  // The kind CAPTURE_TEST_SERVER names: "pulseaudio" (also when unset or
  // empty) or "pipewire".
  static std::unique_ptr<PulseTestServer> start(std::string& error);
  ~PulseTestServer();
  PulseTestServer(const PulseTestServer&) = delete;
  PulseTestServer& operator=(const PulseTestServer&) = delete;

  // What the server's own stereo-to-mono downmix does to the level of a sound
  // played alike on both channels: PulseAudio averages the channels (1),
  // PipeWire adds them at -3 dB each (the square root of 2).
  double stereoToMonoGain() const;
  // Variables that point a client at this server and at nothing else.
  const Environment& environment() const { return environment_; }
  ChildProcess::Options childOptions() const { return {environment_}; }
  // A folder that goes away with the server.
  const std::string& scratchDir() const { return dir_; }

  // pactl against this server; returns its exit code, output in `output`.
  int pactl(const std::vector<std::string>& args, std::string* output = nullptr) const;

  // A float32le null sink; when `makeDefault`, it becomes the default sink. A
  // listener on its monitor (one more source output) keeps it running in short
  // blocks, so capture starts without the idle sink's two-second delay.
  std::optional<uint32_t> addSink(const std::string& name, uint32_t rate, uint32_t channels,
                                  const std::string& description, bool makeDefault,
                                  std::string& error);
  // A null sink plus a source on its monitor named `name` with `description`.
  std::optional<VirtualMicrophone> addMicrophone(const std::string& name, uint32_t rate,
                                                 uint32_t channels, const std::string& description,
                                                 std::string& error);
  bool unloadModule(uint32_t module) {
    return pactl({"unload-module", std::to_string(module)}) == 0;
  }
  bool setDefaultSource(const std::string& name) {
    return pactl({"set-default-source", name}) == 0;
  }
  // The server's index of a source, or none.
  std::optional<uint32_t> sourceIndex(const std::string& name) const;

  // Plays interleaved float32le samples into `sinkName` (empty: the default
  // sink) in real time, after 0.4 s of silence; the player ends after the last
  // sample.
  std::unique_ptr<ChildProcess> play(const std::string& sinkName, uint32_t rate, uint32_t channels,
                                     const std::vector<float>& samples);

  // Sends `signo` to the process clients talk to (SIGKILL to make the server
  // die mid-run).
  void kill(int signo);

 private:
  PulseTestServer() = default;
  bool startPulseAudio(std::string& error);
  bool waitForSessionManager(std::string& error);
  bool waitForDevice(const std::string& list, const std::string& name, uint32_t rate,
                     uint32_t channels) const;
  // The fields of the line of `pactl list <list> short` that names `name`.
  std::optional<std::vector<std::string>> listed(const std::string& list,
                                                 const std::string& name) const;

  bool pipeWire_ = false;
  std::string dir_;
  std::string address_;
  Environment environment_;
  std::vector<ServerProcess> processes_;                // in start order; the pulse server last
  std::vector<std::unique_ptr<ChildProcess>> keepers_;  // one per null sink
  int played_ = 0;
};

}  // namespace pulsetest
