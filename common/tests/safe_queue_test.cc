#include "common/queue.h"

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

TEST(SafeQueue, BlockedPopWakesOnPush) {
  SafeQueue<int> q;
  auto popped = std::async(std::launch::async, [&] { return q.pop(); });
  EXPECT_EQ(popped.wait_for(50ms), std::future_status::timeout);  // nothing there: still blocked
  q.push(7);
  ASSERT_EQ(popped.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(popped.get(), 7);
  EXPECT_TRUE(q.empty());
}

TEST(SafeQueue, TryPopTimesOutLeavingValueUntouched) {
  SafeQueue<std::string> q;
  std::string v = "untouched";
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(q.try_pop(v, 30));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
  EXPECT_EQ(v, "untouched");
  EXPECT_FALSE(q.try_pop(v, 0));

  q.push("a");
  q.push("b");
  EXPECT_EQ(q.size(), 2u);
  EXPECT_TRUE(q.try_pop(v, 0));
  EXPECT_EQ(v, "a");  // first in, first out
  EXPECT_TRUE(q.try_pop(v, 0));
  EXPECT_EQ(v, "b");
}

TEST(SafeQueue, TryPopWaitsForALatePush) {
  SafeQueue<int> q;
  std::thread producer([&] {
    std::this_thread::sleep_for(20ms);
    q.push(3);
  });
  int v = 0;
  EXPECT_TRUE(q.try_pop(v, 5000));
  EXPECT_EQ(v, 3);
  producer.join();
}

TEST(SafeQueue, ManyProducersAndConsumersLoseNothing) {
  SafeQueue<int> q;
  constexpr int kProducers = 4, kPerProducer = 5000, kConsumers = 3;
  const long n = (long)kProducers * kPerProducer;
  std::atomic<long> sum{0};
  std::atomic<long> count{0};
  std::vector<std::thread> threads;
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  for (int c = 0; c < kConsumers; c++) {
    threads.emplace_back([&] {
      int v;
      while (count < n && std::chrono::steady_clock::now() < deadline) {
        if (q.try_pop(v, 10)) {
          sum += v;
          count++;
        }
      }
    });
  }
  for (int p = 0; p < kProducers; p++) {
    threads.emplace_back([&, p] {
      for (int i = 1; i <= kPerProducer; i++) q.push(p * kPerProducer + i);
    });
  }
  for (auto &t : threads) t.join();
  EXPECT_EQ(count.load(), n);
  EXPECT_EQ(sum.load(), n * (n + 1) / 2);
}

}  // namespace
