// Prints the converter's quality and speed at each soxr setting, for choosing
// SoxrConverter::kDefaultQuality: THD+N of a converted 1 kHz tone (everything
// but the tone, against the tone), the gain at 7 kHz, how far tones above the
// output's Nyquist frequency are pushed down (dB against the input tone's
// level), the most audio the converter holds back while driven tap by tap, and
// how many times faster than real time stereo becomes 16 kHz mono; for 48 kHz
// and 44.1 kHz input.
#include <soxr.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <vector>

#include "platform/pulse/soxr_converter.h"

namespace {

using velloc::AudioFormat;
using velloc::PcmBuffer;

constexpr double kOutRate = 16000.0;
constexpr uint32_t kTapFrames = 4096;

struct Held {
  double total = 0;
  double most = 0;
  int taps = 0;
};

// Feeds `seconds` of a stereo tone through the converter in tap-sized buffers,
// as velloc does, and returns the mono output.
// `held`, when given, receives the input time that had gone in but not come
// out after each tap, averaged and at most.
std::vector<float> convertTone(double inRate, unsigned long quality, double frequency,
                               double seconds, double* convertSeconds = nullptr,
                               Held* held = nullptr) {
  const AudioFormat from{velloc::kCommonFormatFloat32, inRate, 2, true};
  const AudioFormat to{velloc::kCommonFormatFloat32, kOutRate, 1, false};
  auto converter = pulse::SoxrConverter::create(from, to, quality);
  std::vector<float> out;
  const auto total = static_cast<uint64_t>(seconds * inRate);
  PcmBuffer input(from, kTapFrames);
  for (uint64_t start = 0; start < total; start += kTapFrames) {
    for (uint32_t f = 0; f < kTapFrames; ++f) {
      const double t = static_cast<double>(start + f) / inRate;
      const float v = static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * frequency * t));
      input.floatChannelData()[0][2 * f] = v;
      input.floatChannelData()[0][2 * f + 1] = v;
    }
    input.setFrameLength(kTapFrames);
    const auto before = static_cast<uint64_t>(std::floor(start * kOutRate / inRate));
    const auto after = static_cast<uint64_t>(std::floor((start + kTapFrames) * kOutRate / inRate));
    PcmBuffer output(to, static_cast<uint32_t>(after - before));
    bool supplied = false;
    std::optional<velloc::PlatformError> error;
    const auto began = std::chrono::steady_clock::now();
    converter->convert(output, error, [&](uint32_t, velloc::ConverterInputStatus& status) {
      status = supplied ? velloc::ConverterInputStatus::noDataNow
                        : velloc::ConverterInputStatus::haveData;
      const PcmBuffer* given = supplied ? nullptr : &input;
      supplied = true;
      return given;
    });
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
    if (convertSeconds != nullptr) *convertSeconds += took.count();
    out.insert(out.end(), output.floatChannelData()[0],
               output.floatChannelData()[0] + output.frameLength());
    if (held != nullptr) {
      const double seconds = static_cast<double>(start + kTapFrames) / inRate -
                             static_cast<double>(out.size()) / kOutRate;
      held->most = std::max(held->most, seconds);
      held->total += seconds;
      ++held->taps;
    }
  }
  return out;
}

// Least-squares fit of a sinusoid at `frequency` to the middle of `signal`;
// returns {signal-to-residual in dB, fitted amplitude}.
std::pair<double, double> fit(const std::vector<float>& signal, double frequency) {
  const std::size_t begin = signal.size() / 4, end = signal.size() * 3 / 4;
  double ss = 0, sc = 0, cc = 0, ys = 0, yc = 0;
  for (std::size_t i = begin; i < end; ++i) {
    const double w = 2 * std::numbers::pi * frequency * static_cast<double>(i) / kOutRate;
    const double s = std::sin(w), c = std::cos(w);
    ss += s * s, sc += s * c, cc += c * c, ys += signal[i] * s, yc += signal[i] * c;
  }
  const double det = ss * cc - sc * sc;
  const double a = (ys * cc - yc * sc) / det, b = (yc * ss - ys * sc) / det;
  double signalPower = 0, noisePower = 0;
  for (std::size_t i = begin; i < end; ++i) {
    const double w = 2 * std::numbers::pi * frequency * static_cast<double>(i) / kOutRate;
    const double model = a * std::sin(w) + b * std::cos(w);
    signalPower += model * model;
    noisePower += (signal[i] - model) * (signal[i] - model);
  }
  return {10 * std::log10(signalPower / noisePower), std::hypot(a, b)};
}

double rmsDb(const std::vector<float>& signal, double reference) {
  double power = 0;
  const std::size_t begin = signal.size() / 4, end = signal.size() * 3 / 4;
  for (std::size_t i = begin; i < end; ++i) power += signal[i] * signal[i];
  const double rms = std::sqrt(power / static_cast<double>(end - begin));
  return 20 * std::log10(std::max(rms, 1e-12) / reference);
}

}  // namespace

int main() {
  const struct {
    const char* name;
    unsigned long quality;
  } settings[] = {{"LQ", SOXR_LQ},
                  {"MQ", SOXR_MQ},
                  {"HQ", SOXR_HQ},
                  {"HQ-M", SOXR_HQ | SOXR_MINIMUM_PHASE},
                  {"VHQ", SOXR_VHQ}};
  std::printf("%-4s %6s %10s %10s %11s %11s %11s %10s %9s %11s\n", "q", "in", "THD+N dB",
              "gain 7k dB", "alias 8.5k", "alias 10k", "alias 12k", "held mean", "held max",
              "x realtime");
  for (const double inRate : {48000.0, 44100.0}) {
    for (const auto& setting : settings) {
      const auto tone = [&](double frequency) {
        return convertTone(inRate, setting.quality, frequency, 4);
      };
      const double thdN = fit(tone(1000), 1000).first;
      const double passband = 20 * std::log10(fit(tone(7000), 7000).second / 0.5);
      const double inputRms = 0.5 / std::sqrt(2.0);
      const double alias85 = rmsDb(tone(8500), inputRms);
      const double alias10 = rmsDb(tone(10000), inputRms);
      const double alias12 = rmsDb(tone(12000), inputRms);
      const double seconds = 60;
      double took = 0;
      Held held;
      convertTone(inRate, setting.quality, 440, seconds, &took, &held);
      std::printf("%-4s %6.0f %10.1f %10.3f %11.1f %11.1f %11.1f %10.1f %9.1f %11.0f\n",
                  setting.name, inRate, thdN, passband, alias85, alias10, alias12,
                  held.total / held.taps * 1000, held.most * 1000, seconds / took);
    }
  }
}
