// The target's process entry with the platform's two entry operations scripted: it returns at
// once when the platform cannot prepare the process, hands the loader's arguments and the start
// routine to the platform's attach when the first argument is set, and otherwise runs the start
// routine itself.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "platform/rtx/ProcessEntry.h"

namespace {

std::uint32_t prepared = 1;           // what __RtxProcessEntry answers
std::vector<std::uint32_t> attached;  // first, second, and 1 if the start routine was ours
int starts = 0;

}  // namespace

extern "C" std::uint32_t RTAPI __RtxProcessEntry() { return prepared; }

extern "C" std::int32_t RTAPI _RtssAttachProcessW(std::uint32_t first, std::uint32_t second,
                                                  RtStartRoutine start) {
    attached = {first, second, start == ProcessStart ? 1u : 0u};
    return 77;
}

std::int32_t RTFCNDCL ProcessStart() {
    ++starts;
    return 5;
}

namespace {

TEST(ProcessEntry, EachOutcomeOfThePlatformsPreparation) {
    prepared = 0;
    EXPECT_EQ(RtssProcessEntry(3, 4), 0xC0000145u);
    EXPECT_TRUE(attached.empty());
    EXPECT_EQ(starts, 0);

    prepared = 1;
    EXPECT_EQ(RtssProcessEntry(3, 4), 77u);
    EXPECT_EQ(attached, (std::vector<std::uint32_t>{3, 4, 1}));
    EXPECT_EQ(starts, 0) << "the platform runs the start routine";

    attached.clear();
    EXPECT_EQ(RtssProcessEntry(0, 4), 0xFFFFFFFFu);
    EXPECT_TRUE(attached.empty());
    EXPECT_EQ(starts, 1);
}

}  // namespace
