// The first-callback line under racing callers.
#include <thread>

#include "velloc_test_support.h"

namespace velloc::fake {
namespace {

TEST_F(VellocTest, RacingCallersWriteTheFirstCallbackLineOnce) {
  std::vector<std::thread> threads;
  for (uint32_t i = 1; i <= 8; ++i) threads.emplace_back([this, i] { logFirstCallback(state, i); });
  for (auto& thread : threads) thread.join();
  ASSERT_EQ(transcript().size(), 1u);
  EXPECT_EQ(transcript()[0].rfind("[tamsel] First tap callback fired (frameLength=", 0), 0u);
}

}  // namespace
}  // namespace velloc::fake
