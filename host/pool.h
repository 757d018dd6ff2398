// The kernel pool: every block remembers its tag, size and pool type, so the machine can
// report leaks by tag, catch frees with the wrong tag, and fail allocations on purpose.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/kernel_helpers.h"
#include "platform/pool.h"

namespace host {

class FaultPlan;

// "urbt" for the tag the driver wrote as PoolTag("urbt").
std::string tagText(ULONG tag);

class Pool {
public:
    explicit Pool(FaultPlan& faults) : faults_(faults) { spareNodes_.reserve(kSpareNodes); }
    ~Pool();

    struct Block {
        ULONG tag;
        std::size_t size;
        POOL_TYPE type;
    };

    // Pattern: new blocks are filled with 0xCD, so memory the driver forgets to clear shows.
    // None: for the machine's own buffers whose every byte it writes (data or zeros) before
    // anyone reads them; filling them first would only be paid twice.
    enum class Fill { Pattern, None };
    void* allocate(POOL_TYPE type, std::size_t size, ULONG tag, Fill fill = Fill::Pattern);
    // A pointer the pool did not hand out, or a wrong tag, is a driver bug: abort.
    void free(void* p, ULONG tag);

    std::optional<Block> find(const void* p) const;
    std::vector<Block> outstanding() const;
    // Tags with blocks still allocated, each once, sorted.
    std::vector<std::string> leakedTags() const;
    std::uint64_t allocations(ULONG tag) const;  // successful ones, ever
    // Each pool type the tag was allocated from, once, in the order first used.
    std::vector<POOL_TYPE> typesUsed(ULONG tag) const;

private:
    using Blocks = std::map<const void*, Block>;
    struct TagUse {
        std::uint64_t allocations = 0;
        std::vector<POOL_TYPE> types;
    };
    // Blocks come and go with every request: the nodes of freed ones are kept for the next, so
    // the bookkeeping allocates nothing once the machine has run a while.
    static constexpr std::size_t kSpareNodes = 64;

    void track(void* p, ULONG tag, std::size_t size, POOL_TYPE type);

    FaultPlan& faults_;
    mutable std::mutex mutex_;
    Blocks blocks_;
    std::vector<Blocks::node_type> spareNodes_;
    std::map<ULONG, TagUse> tags_;
};

}  // namespace host
