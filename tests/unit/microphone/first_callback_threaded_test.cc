// The first-callback line under racing callers.
#include <thread>

#include "velloc_test_support.h"

namespace velloc::fake {
namespace {

TEST_F(VellocTest, RacingCallersWriteTheFirstCallbackLineOnce) {
  std::vector<std::thread> threads;
  for (uint32_t i = 1; i <= 8; ++i) threads.emplace_back([this, i] { logFirstCallback(state, i); });
  for (auto& thread : threads) thread.join();
  const auto all = lines();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].rfind("[tamsel] First tap callback fired (frameLength=", 0), 0u);
  EXPECT_TRUE(state.firstCallbackLogged);
}

}  // namespace
}  // namespace velloc::fake
