// Non-blocking writes: queued pairs reach the disk in order, none is stranded, and destruction
// waits for the last one.

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "common/params.h"
#include "common/tests/params_test_util.h"

TEST(ParamsNonBlocking, ManyWritesLandInOrder) {
  ParamsTestRoot tmp;
  ScopedEnv no_prefix("TAVRIN_PREFIX", std::nullopt);
  const int N = 60;
  Params reader(tmp.root());

  // A watcher sees the sequence key only move forward while the writes go on.
  std::atomic<bool> stop{false};
  std::vector<int> seen;
  std::thread watcher([&] {
    while (!stop) {
      std::string v = reader.get("Seq");
      if (!v.empty() && (seen.empty() || std::stoi(v) != seen.back())) seen.push_back(std::stoi(v));
    }
  });
  {
    Params params(tmp.root());
    for (int i = 0; i < N; i++) {
      params.putNonBlocking("Seq", std::to_string(i));
      params.putNonBlocking("Key" + std::to_string(i % 7), std::to_string(i));
    }
    params.putBoolNonBlocking("DashcamShutdown", true);
    params.putIntNonBlocking("BootCount", 17);
    params.putFloatNonBlocking("SteerRatio", 14.5f);
  }  // the destructor returns only when everything is on disk
  stop = true;
  watcher.join();

  EXPECT_EQ(reader.get("Seq"), std::to_string(N - 1));
  for (int k = 0; k < 7; k++) {
    int last = (N - 1) - ((N - 1 - k) % 7);
    EXPECT_EQ(reader.get("Key" + std::to_string(k)), std::to_string(last)) << k;
  }
  EXPECT_TRUE(reader.getBool("DashcamShutdown"));
  EXPECT_EQ(reader.getInt("BootCount"), 17);
  EXPECT_EQ(reader.getFloat("SteerRatio"), 14.5f);
  for (size_t i = 1; i < seen.size(); i++) ASSERT_LT(seen[i - 1], seen[i]) << "values went backwards";
}

// Each pair is queued at a random moment shortly after the previous one became visible, so
// over many rounds some land just as the writer is winding down: the moment where a pair could
// be left in the queue with no writer to take it. Every pair must still reach the disk without
// any further call. The store lives in memory so that a write is short and that moment is a
// sizeable part of it.
TEST(ParamsNonBlocking, PairQueuedWhileWriterFinishesIsWritten) {
  ParamsTestRoot tmp("/dev/shm");
  ScopedEnv no_prefix("TAVRIN_PREFIX", std::nullopt);
  Params params(tmp.root());
  std::mt19937 rng(std::random_device{}());
  std::uniform_int_distribution<int> delay_us(0, 50);
  // Bounded by rounds and by time, whichever ends first, to stay short under sanitizers too.
  auto budget_end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  for (int i = 0; i < 3000 && std::chrono::steady_clock::now() < budget_end; i++) {
    std::string v = std::to_string(i);
    params.putNonBlocking("Seq", v);
    ASSERT_TRUE(wait_until([&] { return params.get("Seq") == v; }, std::chrono::seconds(5), std::chrono::microseconds(0)))
        << "pair " << i << " never written";
    auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(delay_us(rng));
    while (std::chrono::steady_clock::now() < until) {
    }
  }
}
