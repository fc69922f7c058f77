// Timers, watchdog and worker count.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <ctime>
#include <thread>

#include "util/sorvan.h"
#include "tests/support/testutil.h"

namespace {

// Sleeps until time() has moved past `t`.
void wait_past(time_t t) {
    while (std::time(nullptr) <= t) usleep(20000);
}

int32_t calls = 0;
int32_t last_arg = 0;
void on_change(int32_t arg) {
    ++calls;
    last_arg = arg;
}

void set_mtime(const std::string &path, time_t t) {
    timespec ts[2] = {{t, 0}, {t, 0}};
    utimensat(AT_FDCWD, path.c_str(), ts, 0);
}

}  // namespace

TEST(Timer, PeriodZeroFiresOnceTheSecondTurnsArmedPeriodStays) {
    time_t armed = std::time(nullptr);
    EXPECT_EQ(timer(0), 0);  // arming never fires
    wait_past(armed + 1);    // surely later than the arming second
    EXPECT_EQ(timer(0), 1);
    EXPECT_EQ(timer(0), 0);  // re-armed
    // Another thread has its own timer; a negative period fires at once.
    std::thread([] {
        EXPECT_EQ(timer(10), 0);
        int other = -1;
        std::thread([&] { other = timer(-1); }).join();
        EXPECT_EQ(other, 1);
        wait_past(std::time(nullptr) + 1);
        EXPECT_EQ(timer(1), 0);  // still the period of 10
    }).join();
    EXPECT_EQ(timer(0), 1);      // the second turned meanwhile
}

TEST(WatchDog, TracksModificationTime) {
    testutil::TempDir dir;
    std::string path = dir / "nodes.cfg";
    int32_t seen = 0;
    calls = 0;
    EXPECT_EQ(watch_dog(path.c_str(), &seen, on_change, 5), 2);
    EXPECT_EQ(seen, 0);

    testutil::write_file(path, "x");
    set_mtime(path, 1000000);
    EXPECT_EQ(watch_dog(path.c_str(), &seen, on_change, 5), 0);  // first sight only records
    EXPECT_EQ(seen, 1000000);
    EXPECT_EQ(watch_dog(path.c_str(), &seen, on_change, 5), 0);
    EXPECT_EQ(calls, 0);

    set_mtime(path, 1000060);
    EXPECT_EQ(watch_dog(path.c_str(), &seen, on_change, 7), 1);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(last_arg, 7);
    EXPECT_EQ(seen, 1000060);

    set_mtime(path, 999000);  // going backwards is not a change
    EXPECT_EQ(watch_dog(path.c_str(), &seen, on_change, 7), 0);
    EXPECT_EQ(seen, 1000060);
    EXPECT_EQ(calls, 1);

    unlink(path.c_str());
    EXPECT_EQ(watch_dog(path.c_str(), &seen, on_change, 7), 2);
    EXPECT_EQ(seen, 1000060);
}
