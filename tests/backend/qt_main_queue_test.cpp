// The main queue: work posted from any thread runs on the main thread in the order each thread
// posted it; delayed work runs no earlier than its delay, in the order it falls due.
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "qt_support.h"

namespace lumivane::qt::testing {
namespace {

using namespace std::chrono_literals;

TEST(MainQueue, WorkFromManyThreadsRunsOnTheMainThreadInEachThreadsOrder) {
  constexpr int kThreads = 4;
  constexpr int kItemsPerThread = 2000;
  const std::thread::id mainThread = std::this_thread::get_id();
  // Written on the main thread only, by the work itself.
  std::vector<std::vector<int>> ran(kThreads);
  int offMainThread = 0;
  int total = 0;

  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&, t] {
      for (int i = 0; i < kItemsPerThread; ++i) {
        desktop().async([&, t, i] {
          if (std::this_thread::get_id() != mainThread) ++offMainThread;
          ran[t].push_back(i);
          ++total;
        });
      }
    });
  }
  for (auto& poster : posters) poster.join();
  ASSERT_TRUE(spinUntil([&] { return total == kThreads * kItemsPerThread; }));

  EXPECT_EQ(offMainThread, 0);
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(ran[t].size(), static_cast<std::size_t>(kItemsPerThread)) << "thread " << t;
    for (int i = 0; i < kItemsPerThread; ++i) {
      ASSERT_EQ(ran[t][i], i) << "thread " << t << " ran out of order";
    }
  }
}

TEST(MainQueue, WorkPostedByWorkRunsAfterWhatWasAlreadyQueued) {
  std::vector<std::string> ran;
  desktop().async([&] {
    ran.push_back("first");
    desktop().async([&] { ran.push_back("posted by first"); });
  });
  desktop().async([&] { ran.push_back("second"); });
  ASSERT_TRUE(spinUntil([&] { return ran.size() == 3; }));
  EXPECT_EQ(ran, (std::vector<std::string>{"first", "second", "posted by first"}));
}

TEST(MainQueue, DelayedWorkRunsAfterItsDelayInTheOrderItFallsDue) {
  using Clock = std::chrono::steady_clock;
  struct Ran {
    std::string name;
    Clock::duration after;
  };
  std::vector<Ran> ran;
  const auto posted = Clock::now();
  const auto record = [&](std::string name) {
    return [&, name] { ran.push_back({name, Clock::now() - posted}); };
  };
  desktop().asyncAfter(300ms, record("300ms"));
  desktop().asyncAfter(100ms, record("100ms a"));
  desktop().asyncAfter(0ms, record("0ms"));
  desktop().asyncAfter(200ms, record("200ms"));
  desktop().asyncAfter(100ms, record("100ms b"));
  desktop().asyncAfter(std::chrono::microseconds(100'500), record("100.5ms"));
  ASSERT_TRUE(spinUntil([&] { return ran.size() == 6; }));

  std::vector<std::string> order;
  for (const auto& r : ran) order.push_back(r.name);
  EXPECT_EQ(order, (std::vector<std::string>{"0ms", "100ms a", "100ms b", "100.5ms", "200ms", "300ms"}));
  const std::map<std::string, Duration> delays{{"0ms", 0ms},      {"100ms a", 100ms},
                                               {"100ms b", 100ms}, {"100.5ms", 100500us},
                                               {"200ms", 200ms},  {"300ms", 300ms}};
  for (const auto& r : ran) EXPECT_GE(r.after, delays.at(r.name)) << r.name << " ran early";
}

TEST(MainQueue, DelayedWorkGoesOnWhileTheMainThreadRunsOtherWork) {
  // A nested event loop (as under a modal alert) still runs timers and posted work.
  bool timerRan = false;
  bool asyncRan = false;
  desktop().asyncAfter(50ms, [&] { timerRan = true; });
  desktop().async([&] {
    std::thread([&] { desktop().async([&] { asyncRan = true; }); }).join();
    EXPECT_TRUE(spinUntil([&] { return timerRan && asyncRan; }));
  });
  EXPECT_TRUE(spinUntil([&] { return timerRan && asyncRan; }));
}

}  // namespace
}  // namespace lumivane::qt::testing
