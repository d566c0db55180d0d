// The arena: counters, zero fill, the sweep keeping exactly the marked blocks, refused
// requests, and marking of blocks reachable along several paths (ASan finds double frees).
#include "runtime/arena.h"

#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>
#include <set>

#include "pmf/accumulator.h"
#include "pmf/pmf.h"
#include "runtime/error.h"

using namespace movra;

namespace {

class ArenaTest : public ::testing::Test {
protected:
    MovraObject obj{};
    void TearDown() override {
        release(&obj);
        EXPECT_EQ(obj.memList, nullptr);
    }

    std::set<MemHeader*> liveBlocks() const {
        std::set<MemHeader*> blocks;
        for (MemHeader* b = obj.memList; b != nullptr; b = b->next)
            EXPECT_TRUE(blocks.insert(b).second) << "block linked twice";
        return blocks;
    }
};

MemHeader* header(void* p) { return static_cast<MemHeader*>(p); }

TEST_F(ArenaTest, AllocationRaisesCountersAndLinksNewestFirst) {
    void* a = movraMalloc(&obj, 64);
    EXPECT_TRUE(obj.isMemModified);
    void* b = movraMalloc(&obj, 128);
    EXPECT_EQ(obj.currentMemoryUse, 192u);
    EXPECT_EQ(obj.peakMemoryUse, 192u);
    EXPECT_EQ(obj.memList, header(b));
    EXPECT_EQ(header(b)->next, header(a));
    EXPECT_EQ(header(a)->next, nullptr);
    EXPECT_EQ(header(a)->size, 64u);
    EXPECT_EQ(header(b)->size, 128u);
}

TEST_F(ArenaTest, BlocksAreZeroFilledEvenWhenMemoryIsReused) {
    const size_t size = 256;
    for (int round = 0; round < 8; round++) {
        unsigned char* p = static_cast<unsigned char*>(movraMalloc(&obj, size));
        EXPECT_FALSE(header(p)->flag);
        for (size_t i = sizeof(MemHeader); i < size; i++) ASSERT_EQ(p[i], 0) << "byte " << i;
        std::memset(p + sizeof(MemHeader), 0xAB, size - sizeof(MemHeader));
        release(&obj);
    }
}

TEST_F(ArenaTest, SweepKeepsExactlyTheMarkedBlocksAndUnmarksThem) {
    void* blocks[5];
    const size_t sizes[5] = {40, 48, 56, 64, 72};
    for (int i = 0; i < 5; i++) blocks[i] = movraMalloc(&obj, sizes[i]);
    const unsigned long long peak = obj.peakMemoryUse;
    flagBlock(blocks[1]);
    flagBlock(blocks[4]);
    flagBlock(nullptr);
    release(&obj);

    EXPECT_FALSE(obj.isMemModified);
    EXPECT_EQ(liveBlocks(), (std::set<MemHeader*>{header(blocks[1]), header(blocks[4])}));
    EXPECT_FALSE(header(blocks[1])->flag);
    EXPECT_FALSE(header(blocks[4])->flag);
    EXPECT_EQ(obj.currentMemoryUse, sizes[1] + sizes[4]);
    EXPECT_EQ(obj.peakMemoryUse, peak);

    // Survivors were unmarked, so the next sweep frees them.
    release(&obj);
    EXPECT_EQ(obj.memList, nullptr);
    EXPECT_EQ(obj.currentMemoryUse, 0u);
    EXPECT_EQ(obj.peakMemoryUse, peak);
}

struct RefusedRequest {
    const char* name;
    size_t size;
    unsigned long long limit;  // the instance's memoryLimit (0: none)
};

class ArenaRefusal : public ArenaTest, public ::testing::WithParamInterface<RefusedRequest> {};

TEST_P(ArenaRefusal, ThrowsOutOfMemoryAndLeavesTheCountersAlone) {
    obj.memoryLimit = GetParam().limit;
    void* kept = movraMalloc(&obj, 64);
    release(&obj);  // unmarked: freed; the peak stays
    kept = movraMalloc(&obj, 64);
    obj.isMemModified = false;
    const MovraObject before = obj;
    try {
        movraMalloc(&obj, GetParam().size);
        FAIL() << "request was granted";
    } catch (const CException& e) {
        EXPECT_STREQ(e.message, "Out of memory");
    }
    EXPECT_FALSE(obj.isMemModified);
    EXPECT_EQ(obj.memList, header(kept));
    EXPECT_EQ(obj.currentMemoryUse, before.currentMemoryUse);
    EXPECT_EQ(obj.peakMemoryUse, before.peakMemoryUse);
    // The arena stays usable.
    void* after = movraMalloc(&obj, 32);
    EXPECT_EQ(header(after)->next, header(kept));
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ArenaRefusal,
    ::testing::Values(RefusedRequest{"AboveLargestBlock", kMaxBlockBytes + 1, 0},
                      RefusedRequest{"SizeMax", SIZE_MAX, 0},
                      RefusedRequest{"SmallerThanHeader", sizeof(MemHeader) - 1, 0},
                      RefusedRequest{"Zero", 0, 0}, RefusedRequest{"PastTheLimit", 4040, 4096},
                      RefusedRequest{"LargerThanTheLimit", 8192, 4096},
                      RefusedRequest{"SizeMaxUnderALimit", SIZE_MAX, 4096}),
    [](const ::testing::TestParamInfo<RefusedRequest>& info) { return info.param.name; });

TEST_F(ArenaTest, LimitCountsEveryLiveBlockAndAllowsReachingIt) {
    obj.memoryLimit = 1000;
    movraMalloc(&obj, 600);
    EXPECT_THROW(movraMalloc(&obj, 401), CException);
    movraMalloc(&obj, 400);
    EXPECT_EQ(obj.currentMemoryUse, 1000u);
    release(&obj);
    movraMalloc(&obj, 1000);  // room again after the sweep
}

TEST(RecordBytes, UnrepresentableCountsAreRefusedByTheArena) {
    EXPECT_EQ(recordBytes(24, 3, 8), 48u);
    EXPECT_EQ(recordBytes(24, 0, 8), 24u);
    EXPECT_GT(recordBytes(24, -1, 8), kMaxBlockBytes);
    EXPECT_GT(recordBytes(24, INT64_MAX, 8), kMaxBlockBytes);
    EXPECT_GT(recordBytes(24, int64_t(kMaxBlockBytes / 8), 8), kMaxBlockBytes);
}

TEST_F(ArenaTest, SweepAfterManyDiscardedPmfsReturnsToTheRoots) {
    Pmf* jointRoot = defaultJointPmf(&obj, 3);
    SimpleAccumulator acc(&obj);
    acc.putSingle(0.5, 2)->putSingle(0.5, 9);
    Pmf* simpleRoot = acc.toPmf();
    const unsigned long long rootBytes =
        jointRoot->memHeader.size + jointRoot->joint.elements[0]->memHeader.size +
        jointRoot->joint.marginal->memHeader.size + simpleRoot->memHeader.size;
    for (int i = 0; i < 500; i++) {
        SimpleAccumulator garbage(&obj);
        garbage.putSingle(0.25, i)->putSingle(0.75, 3 * i);
        garbage.toPmf();
        defaultPmf(&obj, createJointPmfConfig(&obj, 4));
    }
    const unsigned long long peak = obj.peakMemoryUse;
    EXPECT_GT(peak, rootBytes);

    flag(jointRoot);
    flag(simpleRoot);
    release(&obj);
    EXPECT_EQ(obj.currentMemoryUse, rootBytes);
    EXPECT_EQ(liveBlocks().size(), 4u);
    EXPECT_EQ(obj.peakMemoryUse, peak);
    // The survivors are intact.
    EXPECT_EQ(jointRoot->joint.elements[0]->joint.elements[0]->simple.elements[0], 1.0);
    EXPECT_EQ(simpleRoot->simple.offset, 2);
    EXPECT_EQ(simpleRoot->simple.elements[7], 0.5);
}

TEST_F(ArenaTest, SharedConditionalReachedAlongSeveralPathsSurvivesOnce) {
    Pmf* shared = createAtomicSimplePmf(&obj, 4);
    Pmf* marginal = allocateSimplePmf(&obj, 0, 2);
    marginal->simple.elements[0] = 0.5;
    marginal->simple.elements[1] = 0.5;
    Pmf* first = allocateJointPmf(&obj, marginal, 2);
    Pmf* second = allocateJointPmf(&obj, marginal, 2);
    first->joint.elements[0] = first->joint.elements[1] = shared;
    second->joint.elements[0] = shared;
    second->joint.elements[1] = shared;
    Pmf* outer = createCompoundPmf(&obj, 3, first, second, shared);
    createAtomicSimplePmf(&obj, 0);  // garbage

    flag(outer);
    flag(first);  // a root may also be reachable from another root
    release(&obj);
    EXPECT_EQ(liveBlocks(),
              (std::set<MemHeader*>{&shared->memHeader, &marginal->memHeader, &first->memHeader,
                                    &second->memHeader, &outer->memHeader}));
    EXPECT_EQ(obj.currentMemoryUse, shared->memHeader.size + marginal->memHeader.size +
                                        first->memHeader.size + second->memHeader.size +
                                        outer->memHeader.size);
    for (MemHeader* b : liveBlocks()) EXPECT_FALSE(b->flag);

    // Keeping only the second joint frees the rest exactly once.
    flag(second);
    release(&obj);
    EXPECT_EQ(liveBlocks(),
              (std::set<MemHeader*>{&shared->memHeader, &marginal->memHeader, &second->memHeader}));
    EXPECT_EQ(second->joint.elements[1]->simple.elements[0], 1.0);
}

}  // namespace
