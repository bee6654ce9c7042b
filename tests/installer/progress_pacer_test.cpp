// The pacing of a download's progress: at most one count per interval to
// the window, and the latest count never held back for longer.
#include "installer/package_download.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// The pacing of the progress on a clock of the test's own: at most one
// count per interval, and a count kept back is due once the interval has
// passed, with no later chunk needed to carry it.
TEST(ProgressPacer, HandsOnTheLatestCountOncePerInterval) {
    struct Step {
        DWORD at;
        char what;            // 'u' Update, 'n' Update at once, 'd' Due
        int32_t count = 0;    // for an update
        DWORD due = INFINITE; // what Due answers
    };
    struct Shown {
        DWORD at;
        int32_t count;
        bool operator==(const Shown&) const = default;
    };
    const struct {
        const char* name;
        DWORD interval;
        std::vector<Step> steps;
        std::vector<Shown> shown;
    } cases[] = {
        {"the first count goes at once", 40, {{1000, 'u', 10}, {1000, 'd'}}, {{1000, 10}}},
        {"a burst, then silence: the last count goes when its interval has passed",
         40,
         {{0, 'u', 10}, {5, 'u', 20}, {9, 'u', 30}, {9, 'd', 0, 31}, {39, 'd', 0, 1}, {40, 'd'}, {500, 'd'}},
         {{0, 10}, {40, 30}}},
        {"a trickle slower than the interval: every count at once",
         40,
         {{0, 'u', 10}, {200, 'u', 20}, {200, 'd'}, {400, 'u', 30}},
         {{0, 10}, {200, 20}, {400, 30}}},
        {"a kept count overtaken by the next chunk after the interval",
         40,
         {{0, 'u', 10}, {20, 'u', 20}, {45, 'u', 30}, {45, 'd'}},
         {{0, 10}, {45, 30}}},
        {"the whole size goes at once, and the same count never twice",
         40,
         {{0, 'u', 10}, {5, 'n', 100}, {6, 'n', 100}, {60, 'u', 100}, {60, 'd'}},
         {{0, 10}, {5, 100}}},
        {"a count back at the one shown is not kept", 40, {{0, 'u', 10}, {5, 'u', 10}, {5, 'd'}}, {{0, 10}}},
        {"the tick count wrapping round",
         40,
         {{0xFFFFFFF0u, 'u', 10}, {0xFFFFFFF8u, 'u', 20}, {0x10, 'd', 0, 8}, {0x18, 'd'}},
         {{0xFFFFFFF0u, 10}, {0x18, 20}}},
        {"no interval: every chunk", 0, {{0, 'u', 10}, {0, 'u', 20}, {0, 'd'}}, {{0, 10}, {0, 20}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DWORD now = 0;
        std::vector<Shown> shown;
        download::ProgressPacer pacer(
            c.interval,
            [&](int32_t count) {
                shown.push_back({now, count});
            },
            [&now] { return now; });
        for (const Step& step : c.steps) {
            now = step.at;
            if (step.what == 'd')
                EXPECT_EQ(pacer.Due(), step.due) << "at " << step.at;
            else
                pacer.Update(step.count, step.what == 'n');
        }
        EXPECT_EQ(shown, c.shown);
    }
}

} // namespace
