// One bit a cluster, numbered from 0 by the owner (a FAT lcn, or an exFAT
// heap cluster - 2), eight a byte with bit 0 first: the layout of exFAT's
// allocation bitmap, so that one read from the card fills it as it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class CLUSTERBITS {
public:
    CLUSTERBITS() = default;

    // Room for at least bits clusters, in whole bytes, every bit clear (a
    // bit past bits up to the last byte's end exists too and reads clear
    // until set). False, and no room, when the memory cannot be had.
    bool resize(std::uint64_t bits);
    // No room left.
    void clear() { storage = {}; }

    // Clusters with a bit: the bytes' bits, a multiple of 8.
    std::uint64_t size() const { return std::uint64_t(storage.size()) * 8; }
    bool empty() const { return storage.empty(); }
    // False for a cluster past size(): a caller for whom such a cluster
    // counts as set says so with covers().
    bool covers(std::uint64_t bit) const { return bit < size(); }
    bool test(std::uint64_t bit) const { return covers(bit) && (storage[std::size_t(bit / 8)] >> (bit % 8)) & 1; }
    // Clusters past size() are left alone.
    void set(std::uint64_t bit)
    {
        if (covers(bit))
            storage[std::size_t(bit / 8)] |= std::uint8_t(1u << (bit % 8));
    }
    // Sets first .. first + count - 1, as far as there is room.
    void setrun(std::uint64_t first, std::uint64_t count);
    // Sets every bit other has set where this has room.
    void merge(const CLUSTERBITS& other);
    // The bits set.
    std::uint64_t ones() const;
    // The first clear bit in [from, end), else end; bits past size() count
    // as set. Whole bytes of set bits are passed over at once.
    std::uint64_t nextclear(std::uint64_t from, std::uint64_t end) const;

    // The bytes as they lie, for a read from the card or a raw look.
    unsigned char* data() { return storage.data(); }
    const unsigned char* data() const { return storage.data(); }
    std::size_t bytes() const { return storage.size(); }

private:
    std::vector<unsigned char> storage;
};
