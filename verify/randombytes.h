// A file's bytes for the structure readers that follow offsets anywhere
// into it (TIFF's IFDs, OLE2's FAT, PDF's cross-reference): held whole, or
// read on demand through READAT with a few pages kept, so that a file too
// large to hold is walked in bounded memory by the same reader. Internal
// to verify/.
#pragma once

#include "verify/verify.h"

#include <cstdint>
#include <string_view>
#include <vector>

namespace verify {

class RANDOMBYTES {
public:
    explicit RANDOMBYTES(bytes whole) : length(whole.size()), whole(whole), held(true) {}
    // length bytes read through read, which must outlive this.
    RANDOMBYTES(std::uint64_t length, const READAT& read);

    std::uint64_t size() const { return length; }
    // The byte at at (< size()); 0 when it cannot be read, and failed() from then on.
    unsigned char operator[](std::uint64_t at) const { return held ? whole[std::size_t(at)] : paged(at); }
    std::uint16_t le16(std::uint64_t at) const { return std::uint16_t((*this)[at] | (*this)[at + 1] << 8); }
    std::uint32_t le32(std::uint64_t at) const { return le16(at) | std::uint32_t(le16(at + 2)) << 16; }
    std::uint64_t le64(std::uint64_t at) const { return le32(at) | std::uint64_t(le32(at + 4)) << 32; }
    // The n bytes at at (inside size()): in place when held, else read into
    // scratch; empty when they cannot be read.
    bytes view(std::uint64_t at, std::size_t n, std::vector<unsigned char>& scratch) const;
    // Whether the bytes at at are s.
    bool match(std::uint64_t at, std::string_view s) const;
    // Where s first begins at or after from; size() when it does not.
    // Read forward in pieces when not held.
    std::uint64_t find(std::string_view s, std::uint64_t from) const;
    // A read failed: what the reader made of the bytes proves nothing.
    bool failed() const { return broken; }
    bool inmemory() const { return held; }
    // The first n bytes alone from now on (the file up to its end, for its
    // check), the pages read kept.
    void truncate(std::uint64_t n);

    // What a reader's pieces and pages take: the memory a walk holds of a
    // file not held whole.
    static constexpr std::size_t pagebytes = 64 * 1024;
    static constexpr std::size_t pagecount = 16;
    static constexpr std::size_t piecebytes = 1u << 20;

private:
    unsigned char paged(std::uint64_t at) const;

    struct PAGE {
        std::uint64_t base = ~std::uint64_t(0);
        std::uint64_t used = 0;
        std::vector<unsigned char> data;
    };

    std::uint64_t length;
    bytes whole;
    bool held;
    const READAT* read = nullptr;
    mutable std::vector<PAGE> pages;
    mutable std::size_t last = 0;
    mutable std::uint64_t clock = 0;
    mutable bool broken = false;
    // find's piece of the file, kept for the next find from inside it.
    mutable std::vector<unsigned char> piece;
    mutable std::uint64_t piecebase = 0;
};

}  // namespace verify
