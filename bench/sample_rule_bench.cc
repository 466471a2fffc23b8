// The per-sample rule over one tap buffer, beside a plain copy of the same
// output bytes: the rule should cost little more than moving the data.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "common/sample_rule.h"

namespace {

std::vector<float> testSignal(std::size_t n) {
  std::vector<float> samples(n);
  for (std::size_t i = 0; i < n; ++i) samples[i] = 1.2f * std::sin(0.05f * static_cast<float>(i));
  return samples;
}

void BM_SampleRule(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const auto in = testSignal(n);
  std::vector<std::byte> out(2 * n);
  for (auto _ : state) {
    pcm::encodePcm16le(in.data(), n, out.data());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(n));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(2 * n));
}

void BM_MemcpySameBytes(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  std::vector<std::byte> in(2 * n, std::byte{1});
  std::vector<std::byte> out(2 * n);
  for (auto _ : state) {
    std::memcpy(out.data(), in.data(), 2 * n);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(n));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(2 * n));
}

BENCHMARK(BM_SampleRule)->Arg(1600)->Arg(4096);
BENCHMARK(BM_MemcpySameBytes)->Arg(1600)->Arg(4096);

}  // namespace
