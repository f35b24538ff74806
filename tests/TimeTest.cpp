#include <Ostrel/Time.h>

#include <gtest/gtest.h>

#include <sys/time.h>

namespace {

double seconds(const timeval& tv) {
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1000000.0;
}

long long micros(const timeval& tv) {
    return tv.tv_sec * 1000000LL + tv.tv_usec;
}

} // namespace

TEST(Time, NonDecreasing) {
    double previous = Ostrel::getSystemTime();
    for (int i = 0; i < 10000; ++i) {
        const double now = Ostrel::getSystemTime();
        ASSERT_GE(now, previous);
        previous = now;
    }
}

// The value is exactly seconds + microseconds / 1e6 for a wall-clock reading taken during the
// call: no finer fraction, no other rounding.
TEST(Time, WholeMicrosecondsOfTheWallClock) {
    for (int i = 0; i < 100; ++i) {
        timeval before{};
        timeval after{};
        gettimeofday(&before, nullptr);
        const double t = Ostrel::getSystemTime();
        gettimeofday(&after, nullptr);
        ASSERT_LE(micros(before), micros(after));
        ASSERT_LT(micros(after) - micros(before), 1000000) << "clock stepped";
        bool found = false;
        for (long long us = micros(before); us <= micros(after) && !found; ++us) {
            timeval candidate{};
            candidate.tv_sec = us / 1000000;
            candidate.tv_usec = us % 1000000;
            found = seconds(candidate) == t;
        }
        EXPECT_TRUE(found) << std::fixed << t;
    }
}
