// Runs a fuzz target as an ordinary test: inputs of every length up to 512
// bytes from a fixed seed. A target aborts when a property fails.
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size);

int main() {
  std::mt19937 random(1);
  std::vector<uint8_t> input;
  for (int run = 0; run < 4000; ++run) {
    input.resize(random() % 513);
    for (uint8_t& byte : input) byte = static_cast<uint8_t>(random());
    LLVMFuzzerTestOneInput(input.data(), input.size());
  }
}
