// The kernel pool: every block remembers its tag, size and pool type, so the machine can
// report leaks by tag, catch frees with the wrong tag, and fail allocations on purpose.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/pool.h"

namespace host {

class FaultPlan;

// "urbt" for the tag the driver wrote as PoolTag("urbt").
std::string tagText(ULONG tag);

class Pool {
public:
    explicit Pool(FaultPlan& faults) : faults_(faults) {}
    ~Pool();

    struct Block {
        ULONG tag;
        std::size_t size;
        POOL_TYPE type;
    };

    // New blocks are filled with 0xCD: memory the driver forgets to clear shows.
    void* allocate(POOL_TYPE type, std::size_t size, ULONG tag);
    // A pointer the pool did not hand out, or a wrong tag, is a driver bug: abort.
    void free(void* p, ULONG tag);

    std::optional<Block> find(const void* p) const;
    std::vector<Block> outstanding() const;
    // Tags with blocks still allocated, each once, sorted.
    std::vector<std::string> leakedTags() const;
    std::uint64_t allocations(ULONG tag) const;  // successful ones, ever
    std::vector<POOL_TYPE> typesUsed(ULONG tag) const;

private:
    FaultPlan& faults_;
    mutable std::mutex mutex_;
    std::map<const void*, Block> blocks_;
    std::map<ULONG, std::uint64_t> allocationCounts_;
    std::map<ULONG, std::vector<POOL_TYPE>> types_;
};

}  // namespace host
