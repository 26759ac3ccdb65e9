// The set of block addresses the verifier knows, each with its record: an
// open-addressed table (linear probing, one multiplication per look-up, no
// allocation per entry), so that telling a block the platform handed out from
// any other pointer stays cheap when it happens several times per transfer,
// and never reads memory at an address that might not be a block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

template <typename T>
class AddressTable {
public:
    AddressTable() { Resize(kInitialBits); }

    T *Find(const void *key) const
    {
        for (size_t i = Home(key);; i = (i + 1) & mask_) {
            const Slot &slot = slots_[i];
            if (slot.key == key)
                return slot.value;
            if (!slot.key)
                return nullptr;
        }
    }

    // key must not be in the table yet.
    void Insert(const void *key, T *value)
    {
        if (2 * (count_ + 1) > slots_.size())
            Resize(bits_ + 1);
        Place(key, value);
        count_++;
    }

    void Erase(const void *key)
    {
        size_t i = Home(key);
        while (slots_[i].key != key) {
            if (!slots_[i].key)
                return;
            i = (i + 1) & mask_;
        }
        // Backward shift: an entry further along the run moves into the hole
        // unless its home lies cyclically after the hole, so no look-up ever
        // stops early at an empty slot.
        for (size_t j = i;;) {
            j = (j + 1) & mask_;
            if (!slots_[j].key)
                break;
            const size_t home = Home(slots_[j].key);
            const bool stays = i <= j ? (i < home && home <= j) : (i < home || home <= j);
            if (stays)
                continue;
            slots_[i] = slots_[j];
            i = j;
        }
        slots_[i] = Slot{};
        count_--;
    }

    void Clear()
    {
        count_ = 0;
        Resize(kInitialBits);
    }

    size_t Size() const { return count_; }

private:
    struct Slot {
        const void *key = nullptr;
        T *value = nullptr;
    };
    static constexpr unsigned kInitialBits = 10;

    size_t Home(const void *key) const
    {
        // Fibonacci hashing of the address (blocks are 16-byte aligned, so
        // the low bits carry nothing).
        const uint64_t a = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(key)) >> 4;
        return static_cast<size_t>((a * 0x9E3779B97F4A7C15ull) >> (64 - bits_));
    }

    void Place(const void *key, T *value)
    {
        size_t i = Home(key);
        while (slots_[i].key)
            i = (i + 1) & mask_;
        slots_[i] = Slot{key, value};
    }

    void Resize(unsigned bits)
    {
        std::vector<Slot> old = std::move(slots_);
        bits_ = bits;
        mask_ = (size_t{1} << bits) - 1;
        slots_.assign(size_t{1} << bits, Slot{});
        for (const Slot &slot : old)
            if (slot.key)
                Place(slot.key, slot.value);
    }

    std::vector<Slot> slots_;
    size_t count_ = 0;
    unsigned bits_ = 0;
    size_t mask_ = 0;
};

}  // namespace sim
