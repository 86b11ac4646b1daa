// Event loop: one-shot timers, signals delivered through the loop, the loop clock, and a
// loop that can be closed and used again.
#include "platform/loop.h"

#include <gtest/gtest.h>

#include <csignal>
#include <vector>

namespace {

std::vector<int> g_fired;  // timer tags and signal numbers, in order of delivery
int64_t g_fired_at = -1;

void record_timer(void* arg) {
  g_fired.push_back(static_cast<int>(reinterpret_cast<intptr_t>(arg)));
  g_fired_at = cl_event_loop_now();
}

void record_signal(int signal_number) {
  g_fired.push_back(-signal_number);
}

void* tag(int n) {
  return reinterpret_cast<void*>(static_cast<intptr_t>(n));
}

// Turns the loop until `count` events were seen; a safety timer bounds the wait.
void run_until(size_t count) {
  for (int turn = 0; turn < 200 && g_fired.size() < count; ++turn) cl_event_loop_once();
}

class LoopTest : public testing::Test {
 protected:
  void SetUp() override {
    cl_event_loop_close();
    g_fired.clear();
    g_fired_at = -1;
  }
  void TearDown() override { cl_event_loop_close(); }
};

TEST_F(LoopTest, OneShotTimerFiresOnceAfterItsDelay) {
  int64_t start = cl_event_loop_now();
  ASSERT_EQ(cl_timer_start(50, record_timer, tag(1)), 0);
  ASSERT_EQ(cl_timer_start(400, record_timer, tag(2)), 0);  // keeps the loop busy afterwards
  run_until(1);
  ASSERT_EQ(g_fired, std::vector<int>{1});
  EXPECT_GE(g_fired_at - start, 50);
  EXPECT_LT(g_fired_at - start, 400);
  run_until(2);
  EXPECT_EQ(g_fired, (std::vector<int>{1, 2})) << "the first timer must not fire again";
  EXPECT_GE(cl_event_loop_now() - start, 400);
}

TEST_F(LoopTest, TimersFireInOrderOfTheirDueTime) {
  ASSERT_EQ(cl_timer_start(60, record_timer, tag(60)), 0);
  ASSERT_EQ(cl_timer_start(20, record_timer, tag(20)), 0);
  ASSERT_EQ(cl_timer_start(0, record_timer, tag(0)), 0);
  run_until(3);
  EXPECT_EQ(g_fired, (std::vector<int>{0, 20, 60}));
}

void rearm(void* arg) {
  int left = static_cast<int>(reinterpret_cast<intptr_t>(arg));
  g_fired.push_back(left);
  if (left > 0) cl_timer_start(5, rearm, tag(left - 1));
}

TEST_F(LoopTest, CallbackCanArmItsSuccessor) {
  ASSERT_EQ(cl_timer_start(5, rearm, tag(3)), 0);
  run_until(4);
  EXPECT_EQ(g_fired, (std::vector<int>{3, 2, 1, 0}));
  // Nothing is armed any more: a turn returns at once.
  EXPECT_EQ(cl_event_loop_once(), 0);
  EXPECT_EQ(g_fired.size(), 4u);
}

TEST_F(LoopTest, RaisedSignalReachesItsHandlerThroughTheLoop) {
  ASSERT_EQ(cl_signal_setup(SIGUSR1, record_signal, 0), 0);
  ASSERT_EQ(cl_signal_setup(SIGUSR2, record_signal, 0), 0);
  ASSERT_EQ(cl_timer_start(5000, record_timer, tag(99)), 0);  // bounds the wait
  raise(SIGUSR2);
  EXPECT_TRUE(g_fired.empty()) << "handlers run from the loop, not from the signal";
  run_until(1);
  EXPECT_EQ(g_fired, std::vector<int>{-SIGUSR2});
  raise(SIGUSR1);
  run_until(2);
  EXPECT_EQ(g_fired, (std::vector<int>{-SIGUSR2, -SIGUSR1}));
}

void poll_inside(void*) {
  raise(SIGUSR1);
  g_fired.push_back(1);  // the handler has not run yet: the callback still runs
  cl_signal_poll();
  g_fired.push_back(2);
}

TEST_F(LoopTest, LongCallbackServesArrivedSignalsWhenItPolls) {
  ASSERT_EQ(cl_signal_setup(SIGUSR1, record_signal, 0), 0);
  ASSERT_EQ(cl_timer_start(0, poll_inside, nullptr), 0);
  ASSERT_EQ(cl_timer_start(200, record_timer, tag(99)), 0);
  run_until(4);
  // Served once, inside the callback; the loop's own wake-up finds nothing left.
  EXPECT_EQ(g_fired, (std::vector<int>{1, -SIGUSR1, 2, 99}));
  cl_signal_poll();
  EXPECT_EQ(g_fired.size(), 4u) << "a served signal is not served again";
}

TEST_F(LoopTest, ClosedLoopCanBeUsedAgain) {
  ASSERT_EQ(cl_signal_setup(SIGUSR1, record_signal, 0), 0);
  ASSERT_EQ(cl_timer_start(10, record_timer, tag(1)), 0);
  cl_event_loop_close();  // closes the pending timer and the watcher
  EXPECT_TRUE(g_fired.empty());

  ASSERT_EQ(cl_timer_start(10, record_timer, tag(2)), 0);
  run_until(1);
  EXPECT_EQ(g_fired, std::vector<int>{2});
}

}  // namespace
