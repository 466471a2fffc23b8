// Every line corvane writes to standard error, and the status of each that ends it.
#pragma once

#include "common/diagnostic_line.h"

namespace corvane::lines {

using pcm::EndingLine;
using pcm::Line;

inline constexpr EndingLine kNoDisplays{"Error: No displays found\n", 1};
inline constexpr EndingLine kStartFailed{"Failed to start capture: {}\n", 1};
inline constexpr Line kStarted{"System audio capture started (16kHz mono PCM → stdout)\n"};
inline constexpr Line kStreamFormat{
    "[orrick] ASBD sampleRate={} channels={} bitsPerChannel={} float={} nonInterleaved={} "
    "bytesPerFrame={}\n"};
inline constexpr Line kSampleZero{"Sample 0 captured at {} s realtime, {} s monotonic\n"};
inline constexpr Line kOutputSwitched{"Capturing the default output: {}\n"};
inline constexpr Line kServerDropped{"WARNING: the audio server dropped {} ms of audio\n"};
inline constexpr Line kFellBehind{"WARNING: standard output fell behind: dropped {} ms of audio\n"};
inline constexpr EndingLine kStreamStopped{"Stream stopped with error: {}\n", 1};
inline constexpr EndingLine kStdoutFailed{"FATAL: cannot write to stdout: {}\n", 1};

// Stopping: the signal handlers write these and end with status 0.
inline constexpr Line kSigterm{"Received SIGTERM, stopping...\n"};
inline constexpr Line kSigint{"Received SIGINT, stopping...\n"};

}  // namespace corvane::lines
