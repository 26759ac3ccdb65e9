// The set of block addresses the verifier knows: an open-addressed table of
// the addresses alone (linear probing, one multiplication per look-up, no
// allocation per entry), so that telling a block the platform handed out
// from any other pointer stays cheap when it happens several times per
// transfer, and never reads memory at an address that might not be a block.
// Whatever the verifier keeps about a block sits at a fixed distance from
// its address, so the set needs nothing else, and stays small enough for
// the cache.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

class AddressSet {
public:
    AddressSet() { Resize(kInitialBits); }

    bool Contains(const void *key) const
    {
        for (size_t i = Home(key);; i = (i + 1) & mask_) {
            if (slots_[i] == key)
                return true;
            if (!slots_[i])
                return false;
        }
    }

    // key must not be in the set yet.
    void Insert(const void *key)
    {
        // At most half full: linear probing's runs stay short.
        if (2 * (count_ + 1) > slots_.size())
            Resize(bits_ + 1);
        Place(key);
        count_++;
    }

    void Erase(const void *key)
    {
        size_t i = Home(key);
        while (slots_[i] != key) {
            if (!slots_[i])
                return;
            i = (i + 1) & mask_;
        }
        // Backward shift: an entry further along the run moves into the hole
        // unless its home lies cyclically after the hole, so no look-up ever
        // stops early at an empty slot.
        for (size_t j = i;;) {
            j = (j + 1) & mask_;
            if (!slots_[j])
                break;
            const size_t home = Home(slots_[j]);
            const bool stays = i <= j ? (i < home && home <= j) : (i < home || home <= j);
            if (stays)
                continue;
            slots_[i] = slots_[j];
            i = j;
        }
        slots_[i] = nullptr;
        count_--;
    }

    // Starts fetching the slot where a look-up of key begins.
    void Prefetch(const void *key) const { __builtin_prefetch(&slots_[Home(key)]); }

    void Clear()
    {
        count_ = 0;
        Resize(kInitialBits);
    }

    size_t Size() const { return count_; }

    // Every address, in no particular order.
    std::vector<const void *> Keys() const
    {
        std::vector<const void *> keys;
        keys.reserve(count_);
        for (const void *slot : slots_)
            if (slot)
                keys.push_back(slot);
        return keys;
    }

private:
    static constexpr unsigned kInitialBits = 10;

    size_t Home(const void *key) const
    {
        // Fibonacci hashing of the address (blocks are 16-byte aligned, so
        // the low bits carry nothing).
        const uint64_t a = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(key)) >> 4;
        return static_cast<size_t>((a * 0x9E3779B97F4A7C15ull) >> (64 - bits_));
    }

    void Place(const void *key)
    {
        size_t i = Home(key);
        while (slots_[i])
            i = (i + 1) & mask_;
        slots_[i] = key;
    }

    void Resize(unsigned bits)
    {
        std::vector<const void *> old = std::move(slots_);
        bits_ = bits;
        mask_ = (size_t{1} << bits) - 1;
        slots_.assign(size_t{1} << bits, nullptr);
        for (const void *key : old)
            if (key)
                Place(key);
    }

    std::vector<const void *> slots_;
    size_t count_ = 0;
    unsigned bits_ = 0;
    size_t mask_ = 0;
};

}  // namespace sim
