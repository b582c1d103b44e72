// The sectors of the source that begin as a carved format does, noted
// during the sweep, so that carving reads only from them: a cluster whose
// first sector is not noted begins no file and is passed over unread.
// Sectors the sweep could not read are noted too: carving tries them as
// it always has.
#pragma once

#include "sweep/sweep.h"

#include <cstdint>
#include <vector>

namespace carve {

class STARTMAP : public SWEEPVISITOR {
public:
    // Starts noted at most (8 bytes each); past them the map knows only
    // what lies before the one that did not fit, and carving reads the
    // rest itself.
    static constexpr std::size_t maxstarts = std::size_t(1) << 21;

    void block(const SWEEPBLOCK& b) override;
    // Past the end of the sweep: what it has not seen is not known.
    void sweptto(std::uint64_t end)
    {
        complete = std::min(complete, end);
        sweepended = true;
    }

    // The first cluster at or after lcn (of size bytes, cluster 0 at byte
    // first) that may begin a file, count when none before it does.
    std::uint64_t skipto(std::uint64_t first, std::uint64_t size, std::uint64_t lcn, std::uint64_t count) const;
    std::size_t starts() const { return noted.size(); }
    // The k-th start noted, in bytes of the source, ascending.
    std::uint64_t at(std::size_t k) const { return noted[k]; }
    // Every start below it is noted: the sweep's end, or the first start
    // past the cap.
    std::uint64_t bound() const { return complete; }
    // How far the sweep has passed, and whether it has ended.
    std::uint64_t swept() const { return seenupto; }
    bool ended() const { return sweepended; }
    bool capped() const { return complete != ~std::uint64_t(0) && noted.size() >= maxstarts; }

private:
    std::vector<std::uint64_t> noted;  // ascending byte positions
    std::uint64_t complete = ~std::uint64_t(0);  // every start below it is noted
    std::uint64_t seenupto = 0;
    bool sweepended = false;
};

}  // namespace carve
