// The sectors of the source that may begin a directory cluster of any
// layout, noted during the sweep: its first byte is not zero and its slots
// hold what every layout's slots hold (a long-name slot's order and zeros,
// a short entry's attribute and case bits) up to the first empty one, zeros
// after it. A layout found only after the sweep (an earlier format's) then
// reads for its deep scan only the clusters that begin with such a sector.
#pragma once

#include "sweep/sweep.h"

#include <cstdint>
#include <vector>

namespace deep {

class DIRSECTORS : public SWEEPVISITOR {
public:
    // Sectors noted at most (8 bytes each); past the last one that fits the
    // map knows nothing, and every cluster there may begin a directory.
    static constexpr std::size_t maxsectors = std::size_t(1) << 21;

    void block(const SWEEPBLOCK& b) override;
    // Past the end of the sweep nothing is known.
    void sweptto(std::uint64_t end) { complete = std::min(complete, end); }
    // True unless the sector at byte at was seen and cannot begin a
    // directory cluster.
    bool maybe(std::uint64_t at) const;
    std::size_t sectors() const { return noted.size(); }

private:
    std::vector<std::uint64_t> noted;  // ascending byte positions
    std::uint64_t complete = ~std::uint64_t(0);
};

// The test of one 512-byte sector.
bool mayopendirectory(const unsigned char* sector);

}  // namespace deep
