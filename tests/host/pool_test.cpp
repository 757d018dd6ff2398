// The pool's accounting as requests come and go: every live block found with its tag, size and
// type, freed ones forgotten, counts and leaks by tag, the types of a tag, and the driver bugs it
// refuses, however often its bookkeeping has been reused.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <vector>

#include "host/fault_plan.h"
#include "host/pool.h"
#include "platform/kernel_helpers.h"

namespace {

constexpr ULONG kUrb = PoolTag("urbt");
constexpr ULONG kIrp = PoolTag("Irp ");
constexpr ULONG kBuffer = PoolTag("IoUb");

struct Live {
    void* p;
    host::Pool::Block block;
};

void expectTracked(const host::Pool& pool, const std::vector<Live>& live) {
    EXPECT_EQ(pool.outstanding().size(), live.size());
    for (const Live& l : live) {
        const auto found = pool.find(l.p);
        ASSERT_TRUE(found.has_value());
        EXPECT_EQ(found->tag, l.block.tag);
        EXPECT_EQ(found->size, l.block.size);
        EXPECT_EQ(found->type, l.block.type);
    }
}

TEST(Pool, BlocksStayAccountedThroughRoundsOfReuse) {
    host::FaultPlan faults;
    host::Pool pool(faults);
    const host::Pool::Block shapes[] = {
        {kUrb, 136, NonPagedPoolNx}, {kIrp, 400, NonPagedPoolNx}, {kBuffer, 3592, NonPagedPool}};
    std::vector<Live> live;
    std::map<ULONG, std::uint64_t> made;
    // More blocks than the pool keeps spare, freed in an order unlike their allocation, so the
    // later rounds run on reused bookkeeping.
    for (int round = 0; round < 4; ++round) {
        for (int i = 0; i < 50; ++i) {
            const host::Pool::Block& shape = shapes[i % 3];
            void* p = pool.allocate(shape.type, shape.size, shape.tag);
            ASSERT_NE(p, nullptr);
            live.push_back({p, shape});
            ++made[shape.tag];
        }
        expectTracked(pool, live);
        std::vector<void*> freed;
        for (std::size_t i = round % 2; i < live.size(); i += 2) {
            pool.free(live[i].p, live[i].block.tag);
            freed.push_back(live[i].p);
        }
        std::erase_if(live, [&](const Live& l) {
            return std::find(freed.begin(), freed.end(), l.p) != freed.end();
        });
        expectTracked(pool, live);
    }
    for (const auto& [tag, count] : made) {
        EXPECT_EQ(pool.allocations(tag), count);
    }
    EXPECT_EQ(pool.leakedTags(), (std::vector<std::string>{"IoUb", "Irp ", "urbt"}));
    for (const Live& l : live) {
        pool.free(l.p, l.block.tag);
    }
    EXPECT_TRUE(pool.outstanding().empty());
    EXPECT_TRUE(pool.leakedTags().empty());
}

TEST(Pool, TypesOfATagAreEachListedOnceInTheOrderFirstUsed) {
    struct Case {
        const char* name;
        std::vector<POOL_TYPE> allocated;
        std::vector<POOL_TYPE> listed;
    };
    const Case cases[] = {
        {"none", {}, {}},
        {"one", {PagedPool}, {PagedPool}},
        {"repeated", std::vector<POOL_TYPE>(5000, NonPagedPoolNx), {NonPagedPoolNx}},
        {"mixed",
         {PagedPool, PagedPool, NonPagedPool, PagedPool, NonPagedPoolNx, NonPagedPool},
         {PagedPool, NonPagedPool, NonPagedPoolNx}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host::FaultPlan faults;
        host::Pool pool(faults);
        for (POOL_TYPE type : c.allocated) {
            pool.free(pool.allocate(type, 8, kUrb), kUrb);
        }
        EXPECT_EQ(pool.typesUsed(kUrb), c.listed);
        EXPECT_EQ(pool.allocations(kUrb), c.allocated.size());
    }
}

TEST(Pool, DriverBlocksComeFilledAndAPlannedFailureIsNotCounted) {
    host::FaultPlan faults;
    host::Pool pool(faults);
    faults.failAllocation(kUrb, 2);
    auto* first = static_cast<unsigned char*>(pool.allocate(NonPagedPoolNx, 64, kUrb));
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(std::all_of(first, first + 64, [](unsigned char b) { return b == 0xCD; }));
    EXPECT_EQ(pool.allocate(NonPagedPoolNx, 64, kUrb), nullptr);
    EXPECT_EQ(pool.allocations(kUrb), 1u);
    EXPECT_EQ(pool.outstanding().size(), 1u);
    pool.free(first, kUrb);
}

class PoolDeathTest : public ::testing::Test {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(PoolDeathTest, FreesOfBlocksItDidNotHandOutOrWithAnotherTagAbort) {
    host::FaultPlan faults;
    host::Pool pool(faults);
    // Bookkeeping already reused once, as in a running machine.
    pool.free(pool.allocate(PagedPool, 16, kUrb), kUrb);
    void* block = pool.allocate(PagedPool, 16, kUrb);
    int notFromThePool = 0;
    EXPECT_DEATH(pool.free(block, kIrp), "block of tag urbt freed with tag Irp ");
    EXPECT_DEATH(pool.free(&notFromThePool, kUrb), "never handed out");
    pool.free(block, kUrb);
    EXPECT_DEATH(pool.free(block, kUrb), "never handed out");
}

}  // namespace
