// First use of the shared AES provider from several threads at once (run under TSan too).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "crypto/record_key.h"

namespace tolvi {
namespace {

TEST(RecordKeyThreads, ConcurrentFirstUseGivesWorkingKeys) {
  constexpr int kThreads = 8;
  std::atomic<bool> go{false};
  std::atomic<int> working{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      while (!go.load()) std::this_thread::yield();
      std::uint8_t material[RecordKey::kKeyBytes] = {static_cast<std::uint8_t>(t)};
      RecordKey sender(material), receiver(material);
      const std::vector<std::uint8_t> plain(100, static_cast<std::uint8_t>(t));
      std::vector<std::uint8_t> record, opened;
      bool ok = sender.valid() && receiver.valid();
      for (int i = 0; ok && i < 50; ++i) {
        ok = sender.seal(plain.data(), plain.size(), record) &&
             receiver.open(record.data(), record.size(), opened) && opened == plain;
      }
      if (ok) working.fetch_add(1);
    });
  }
  go.store(true);
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(working.load(), kThreads);
}

}  // namespace
}  // namespace tolvi
