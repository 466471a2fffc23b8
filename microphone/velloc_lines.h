// Every line velloc writes to standard error, and the status of each that ends it.
#pragma once

#include "common/diagnostic_line.h"

namespace velloc::lines {

using pcm::EndingLine;
using pcm::Line;

inline constexpr Line kUnknownArg{"[tamsel] WARNING: ignoring unknown arg: {}\n"};
inline constexpr Line kDeviceIdWithoutValue{
    "[tamsel] WARNING: --device-id passed without value, using system default\n"};
inline constexpr Line kRequestedDevice{"[tamsel] Requested input device name: \"{}\"\n"};
inline constexpr Line kNoDeviceId{"[tamsel] No --device-id arg, using system default input\n"};
inline constexpr Line kDeviceListSizeFailed{
    "[tamsel] CoreAudio: AudioObjectGetPropertyDataSize(devices) status={} size={}\n"};
inline constexpr Line kDeviceListFailed{
    "[tamsel] CoreAudio: AudioObjectGetPropertyData(devices) status={}\n"};
inline constexpr Line kDeviceMatched{
    "[tamsel] CoreAudio: matched input device \"{}\" (id={}, channels={})\n"};
inline constexpr Line kNoDeviceMatched{
    "[tamsel] CoreAudio: no input device matched name \"{}\" — falling back to system default\n"};
inline constexpr Line kNoAudioUnit{
    "[tamsel] AudioUnit: inputNode.audioUnit is nil — falling back to system default\n"};
inline constexpr Line kDeviceBound{"[tamsel] AudioUnit: bound input to device id={} (\"{}\")\n"};
inline constexpr Line kBindFailed{
    "[tamsel] AudioUnit: SetProperty(CurrentDevice) status={} — falling back to system default\n"};
inline constexpr Line kVoiceProcessingOff{
    "[tamsel] Voice processing OFF (raw mic — preserves SCK system audio capture)\n"};
inline constexpr Line kNativeFormat{"[tamsel] Native input format: {}Hz, {}ch, commonFormat={}\n"};
inline constexpr EndingLine kDegenerateFormat{
    "[tamsel] FATAL: native input format is degenerate (channels={}, rate={}). Likely causes: "
    "microphone permission not granted (check System Settings → Privacy & Security → "
    "Microphone) or the requested device has no input streams.\n",
    2};
inline constexpr EndingLine kNoTargetFormat{
    "[tamsel] FATAL: Failed to create target audio format (16kHz mono int16)\n", 1};
inline constexpr EndingLine kNoConverterFormat{
    "[tamsel] FATAL: Failed to create converter output format\n", 1};
inline constexpr Line kNoConverter{
    "[tamsel] WARNING: AVAudioConverter init returned nil ({}) — will attempt direct tap\n"};
inline constexpr Line kConverter{
    "[tamsel] Audio converter: {} (AVAudioConverter handles channel down-mix)\n"};
inline constexpr Line kConverterTap{"[tamsel] Installed tap with format conversion\n"};
inline constexpr EndingLine kNoFloat32Format{
    "[tamsel] FATAL: Failed to create Float32 target format\n", 1};
inline constexpr Line kDirectTap{
    "[tamsel] Installed tap with Float32→Int16 conversion (no rate conversion needed)\n"};
inline constexpr EndingLine kStartFailed{"[tamsel] FATAL: engine.start() failed: {}\n", 1};
inline constexpr Line kStarted{
    "[tamsel] Raw mic capture started (16kHz, mono, 16-bit PCM → stdout)\n"};
inline constexpr Line kVoiceProcessing{"[tamsel] Voice processing: {}\n"};

inline constexpr Line kFirstCallback{"[tamsel] First tap callback fired (frameLength={})\n"};
inline constexpr Line kSampleZero{"[tamsel] Sample 0 captured at {} s realtime, {} s monotonic\n"};
inline constexpr Line kConversionError{"[tamsel] Conversion error: {}\n"};
inline constexpr Line kServerUnreachable{"[tamsel] WARNING: audio server unreachable: {}\n"};
inline constexpr Line kInputChanged{"[tamsel] Default input changed: capturing \"{}\"\n"};
inline constexpr Line kServerDropped{"[tamsel] WARNING: the audio server dropped {} ms of audio\n"};
inline constexpr Line kFellBehind{
    "[tamsel] WARNING: standard output fell behind: dropped {} ms of audio\n"};
inline constexpr EndingLine kStreamFailed{"[tamsel] FATAL: audio stream failed: {}\n", 1};
inline constexpr EndingLine kStdoutFailed{"[tamsel] FATAL: cannot write to stdout: {}\n", 1};

// Stopping: the signal handlers write these and end with status 0.
inline constexpr Line kSigterm{"[tamsel] Received SIGTERM, stopping...\n"};
inline constexpr Line kSigint{"[tamsel] Received SIGINT, stopping...\n"};

}  // namespace velloc::lines
