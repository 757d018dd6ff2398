#include "host/pool.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "host/fault_plan.h"
#include "host/machine.h"

namespace host {

std::string tagText(ULONG tag) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return text;
}

Pool::~Pool() {
    for (auto& [p, block] : blocks_) {
        std::free(const_cast<void*>(p));
    }
}

void* Pool::allocate(POOL_TYPE type, std::size_t size, ULONG tag, Fill fill) {
    if (faults_.allocationFails(tag)) {
        return nullptr;
    }
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) {
        return nullptr;
    }
    if (fill == Fill::Pattern) {
        std::memset(p, 0xCD, size);
    }
    track(p, tag, size, type);
    return p;
}

// The block's fields come one by one: built as one record on the caller's stack, they were read
// back whole before their stores had landed, which stalled every allocation.
void Pool::track(void* p, ULONG tag, std::size_t size, POOL_TYPE type) {
    std::lock_guard lock(mutex_);
    if (spareNodes_.empty()) {
        blocks_.emplace(p, Block{tag, size, type});
    } else {
        Blocks::node_type node = std::move(spareNodes_.back());
        spareNodes_.pop_back();
        node.key() = p;
        Block& block = node.mapped();
        block.tag = tag;
        block.size = size;
        block.type = type;
        blocks_.insert(std::move(node));
    }
    TagUse& use = tags_[tag];
    ++use.allocations;
    if (std::find(use.types.begin(), use.types.end(), type) == use.types.end()) {
        use.types.push_back(type);
    }
}

void Pool::free(void* p, ULONG tag) {
    if (p == nullptr) {
        return;
    }
    std::lock_guard lock(mutex_);
    auto it = blocks_.find(p);
    if (it == blocks_.end()) {
        std::fprintf(stderr, "pool: free of a block the pool never handed out (tag %s)\n",
                     tagText(tag).c_str());
        std::abort();
    }
    if (it->second.tag != tag) {
        std::fprintf(stderr, "pool: block of tag %s freed with tag %s\n",
                     tagText(it->second.tag).c_str(), tagText(tag).c_str());
        std::abort();
    }
    if (spareNodes_.size() < kSpareNodes) {
        spareNodes_.push_back(blocks_.extract(it));
    } else {
        blocks_.erase(it);
    }
    std::free(p);
}

std::optional<Pool::Block> Pool::find(const void* p) const {
    std::lock_guard lock(mutex_);
    auto it = blocks_.find(p);
    if (it == blocks_.end()) {
        return std::nullopt;
    }
    return it->second;
}

std::vector<Pool::Block> Pool::outstanding() const {
    std::lock_guard lock(mutex_);
    std::vector<Block> result;
    for (const auto& [p, block] : blocks_) {
        result.push_back(block);
    }
    return result;
}

std::vector<std::string> Pool::leakedTags() const {
    std::set<std::string> tags;
    for (const Block& block : outstanding()) {
        tags.insert(tagText(block.tag));
    }
    return {tags.begin(), tags.end()};
}

std::uint64_t Pool::allocations(ULONG tag) const {
    std::lock_guard lock(mutex_);
    auto it = tags_.find(tag);
    return it == tags_.end() ? 0 : it->second.allocations;
}

std::vector<POOL_TYPE> Pool::typesUsed(ULONG tag) const {
    std::lock_guard lock(mutex_);
    auto it = tags_.find(tag);
    return it == tags_.end() ? std::vector<POOL_TYPE>{} : it->second.types;
}

}  // namespace host

PVOID ExAllocatePoolWithTag(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag) {
    return host::Machine::current().pool().allocate(poolType, numberOfBytes, tag);
}

void ExFreePoolWithTag(PVOID p, ULONG tag) { host::Machine::current().pool().free(p, tag); }
