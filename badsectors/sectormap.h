// What a run has learnt of its source's sectors: which it has read and which
// could not be read. One per open source (platform/ keeps it with the
// handle), so that a sector found bad is never asked for again.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

namespace badsectors {

// Sectors first .. first + count - 1.
struct SECTORSPAN {
    std::uint64_t first = 0, count = 0;
    bool operator==(const SECTORSPAN&) const = default;
};

// Bytes offset .. offset + length - 1 of whatever the caller reads (a read's
// buffer, a file).
struct BYTESPAN {
    std::uint64_t offset = 0, length = 0;
    bool operator==(const BYTESPAN&) const = default;
};

// Adds span to spans (sorted, disjoint), merging it with those it touches.
void addspan(std::vector<BYTESPAN>* spans, BYTESPAN span);
// Appends span to spans (sorted, disjoint; span begins at or after the
// last's start), merged with the last when they touch: spans in ascending
// order collected in their length.
void appendspan(std::vector<BYTESPAN>* spans, BYTESPAN span);
// True when a span of spans (sorted, disjoint) holds a byte of [from, to).
bool meets(const std::vector<BYTESPAN>& spans, std::uint64_t from, std::uint64_t to);

// A set of sectors as sorted, disjoint, merged spans.
class SECTORSET {
public:
    // Beyond this many spans a set stops growing: add() refuses a span that
    // would make a new one and returns false.
    static constexpr std::size_t maxspans = 1 << 16;

    bool add(SECTORSPAN span);
    // The first span of the set that meets span, or {0, 0}.
    SECTORSPAN firstmet(SECTORSPAN span) const;
    bool contains(std::uint64_t sector) const;
    std::uint64_t sectors() const { return total; }
    std::vector<SECTORSPAN> spans() const;
    bool empty() const { return ends.empty(); }
    // The last span that begins before sector, else the first span; {0, 0}
    // when the set is empty.
    SECTORSPAN nearestbelow(std::uint64_t sector) const;

private:
    std::map<std::uint64_t, std::uint64_t> ends;  // first -> one past the last
    std::uint64_t total = 0;
};

class SECTORMAP {
public:
    explicit SECTORMAP(std::uint32_t sectorbytes = 512) : bytes(sectorbytes ? sectorbytes : 512) {}

    std::uint32_t sectorbytes() const { return bytes; }
    // Sectors that delivered their bytes. Once the set is full, later
    // sectors are left out: a map written from it then says "not tried"
    // of them, never "read" of what was not.
    void markread(SECTORSPAN span) { readset.add(span); }
    // Sectors that failed (or that a ddrescue map says were not rescued).
    // A bad span that would overflow the set is joined to the bad span
    // before it: the set grows coarser, never forgets a bad sector.
    void markbad(SECTORSPAN span);
    const SECTORSET& read() const { return readset; }
    const SECTORSET& bad() const { return badset; }

private:
    std::uint32_t bytes;
    SECTORSET readset, badset;
};

}  // namespace badsectors
