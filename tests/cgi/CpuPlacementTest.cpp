// In-process: reading the kernel's CPU lists, the rule that leaves a placed run alone, and
// the pin itself, on a thread of its own so the test process keeps its mask.
#include "CpuPlacement.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/sysinfo.h>
#include <thread>

TEST(CpuPlacement, CpuListsAreCountedOrRefused) {
    const struct {
        const char* list;
        int count;
    } rows[] = {
        {"0-3,6\n", 5}, {"0\n", 1},    {"0-1023", 1024},
        {"2,4-5,7", 4}, {"", 0},       {"\n", 0},
        {"3-1", 0},     {"0-1024", 0}, {"0,", 0},
        {"0,,1", 0},    {"-1", 0},     {"1-", 0},
        {"+1", 0},      {"0 1", 0},    {"0-3\n5", 0},
        {"x", 0},       {"1-+3", 0},   {"99999999999999999999", 0},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(CpuPlacement::CountCpuList(row.list), row.count) << '"' << row.list << '"';
    }
}

TEST(CpuPlacement, OnlyAnUnplacedRunIsPinned) {
    const struct {
        int allowed, online, cpuset;
        bool leave;
    } rows[] = {
        {4, 4, 0, false}, // every CPU: pin
        {2, 4, 2, false}, // exactly the container's cpuset: pin
        {2, 4, 0, true},  // narrowed, cpuset unknown
        {2, 4, 3, true},  // narrowed within the cpuset (taskset inside a container)
        {1, 4, 1, true},  // one CPU: nothing to gain
        {1, 1, 0, true},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(CpuPlacement::LeaveAsPlaced(row.allowed, row.online, row.cpuset), row.leave)
            << row.allowed << " of " << row.online << ", cpuset " << row.cpuset;
    }
}

// Runs KeepOnStartingCpu on a thread of its own that first moves to CPU `from` (-1: stays
// where it starts) and is then given `mask` (null: keeps the one it inherits); gives the
// result and the thread's mask after.
static bool Place(int from, const cpu_set_t* mask, cpu_set_t* after) {
    bool pinned = false;
    std::thread([&] {
        if (from >= 0) {
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(from, &one);
            ASSERT_EQ(::sched_setaffinity(0, sizeof(one), &one), 0);
        }
        ASSERT_TRUE(mask == nullptr || ::sched_setaffinity(0, sizeof(*mask), mask) == 0);
        pinned = CpuPlacement::KeepOnStartingCpu();
        ASSERT_EQ(::sched_getaffinity(0, sizeof(*after), after), 0);
    }).join();
    return pinned;
}

TEST(CpuPlacement, PinsToItsCpuUnlessPlacedOnOne) {
    cpu_set_t mine, after;
    ASSERT_EQ(::sched_getaffinity(0, sizeof(mine), &mine), 0);
    int last = 0;
    for (int c = 0; c < CPU_SETSIZE; ++c) {
        last = CPU_ISSET(c, &mine) ? c : last;
    }
    const bool pinned = Place(-1, nullptr, &after);
    if (CPU_COUNT(&mine) >= 2 && CPU_COUNT(&mine) == ::get_nprocs()) {
        EXPECT_TRUE(pinned); // a container's cpuset may pin with fewer
    }
    if (pinned) {
        // To the CPU it is on, not a fixed one: moved to the last CPU and given all back,
        // it stays there (retried, since the scheduler may move it in between).
        bool onLast = false;
        for (int i = 0; i < 5 && !onLast; ++i) {
            onLast =
                Place(last, &mine, &after) && CPU_COUNT(&after) == 1 && CPU_ISSET(last, &after);
        }
        EXPECT_TRUE(onLast);
    } else {
        EXPECT_TRUE(CPU_EQUAL(&after, &mine));
    }
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(last, &one);
    EXPECT_FALSE(Place(-1, &one, &after));
    EXPECT_TRUE(CPU_EQUAL(&after, &one));
}
