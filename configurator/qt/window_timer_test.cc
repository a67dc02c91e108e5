// Window timers on the installed clock: a fake clock decides when they
// fire, however fast real time runs.
#include "configurator/qt/window_timer.h"

#include <gtest/gtest.h>

#include <QTest>
#include <vector>

#include "platform/sync/clock.h"

namespace kavex::configurator::qt {
namespace {

class WindowTimerTest : public ::testing::Test {
 protected:
  void SetUp() override { sync::SetClockForTesting(&clock_); }
  void TearDown() override { sync::SetClockForTesting(nullptr); }

  // Lets the Qt timers run for a while of real time.
  static void Spin() { QTest::qWait(40); }

  sync::FakeClock clock_{0xFFFFF000u};  // wraps during the test
};

TEST_F(WindowTimerTest, FiresOncePerPeriodOfTheClock) {
  std::vector<DWORD> fired;
  WindowTimer timer(nullptr, [&] { fired.push_back(GetTickCount()); });
  timer.Start(1000);
  EXPECT_TRUE(timer.active());
  Spin();
  EXPECT_TRUE(fired.empty());  // real time passed, the clock did not
  clock_.Advance(999);
  Spin();
  EXPECT_TRUE(fired.empty());
  clock_.Advance(1);
  EXPECT_TRUE(QTest::qWaitFor([&] { return fired.size() == 1; }, 30000));
  // The next period counts from the tick it fired on, across the wrap.
  clock_.Advance(2500);
  EXPECT_TRUE(QTest::qWaitFor([&] { return fired.size() == 2; }, 30000));
  Spin();
  EXPECT_EQ(fired.size(), 2u);  // one late expiry fires once
  clock_.Advance(1000);
  EXPECT_TRUE(QTest::qWaitFor([&] { return fired.size() == 3; }, 30000));
  EXPECT_EQ(fired[1] - fired[0], 2500u);
  EXPECT_EQ(fired[2] - fired[1], 1000u);

  timer.Stop();
  EXPECT_FALSE(timer.active());
  clock_.Advance(5000);
  Spin();
  EXPECT_EQ(fired.size(), 3u);
}

TEST_F(WindowTimerTest, ATickMayStopOrDeleteItsTimer) {
  int ticks = 0;
  auto* timer = new WindowTimer(nullptr, [&] { ++ticks; });
  WindowTimer* doomed = nullptr;
  doomed = new WindowTimer(nullptr, [&] {
    ++ticks;
    delete doomed;
  });
  WindowTimer once(nullptr, [&] {
    ++ticks;
    once.Stop();
  });
  timer->Start(100);
  doomed->Start(100);
  once.Start(100);
  clock_.Advance(100);
  EXPECT_TRUE(QTest::qWaitFor([&] { return ticks == 3; }, 30000));
  clock_.Advance(100);
  EXPECT_TRUE(QTest::qWaitFor([&] { return ticks == 4; }, 30000));
  Spin();
  EXPECT_EQ(ticks, 4);  // only the first fired again
  delete timer;
}

}  // namespace
}  // namespace kavex::configurator::qt
