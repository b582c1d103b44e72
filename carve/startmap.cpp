#include "carve/startmap.h"

#include "carve/signatures.h"

#include <algorithm>

namespace carve {

void STARTMAP::block(const SWEEPBLOCK& b)
{
    seenupto = std::max(seenupto, b.at + b.n);
    if (noted.size() >= maxstarts)
        return;
    for (std::uint64_t k = (SWEEP::sector - b.at % SWEEP::sector) % SWEEP::sector; k + headbytes <= b.n;
         k += SWEEP::sector) {
        const std::uint64_t at = b.at + k;
        if (startfamily(verify::bytes(b.bytes + k, headbytes)) == verify::family::none &&
            b.readable(at, at + headbytes))
            continue;
        if (noted.size() >= maxstarts) {
            complete = at;
            return;
        }
        noted.push_back(at);
    }
}

std::uint64_t STARTMAP::skipto(std::uint64_t first, std::uint64_t size, std::uint64_t lcn, std::uint64_t count) const
{
    const std::uint64_t at = first + lcn * size;
    if (size == 0 || first % SWEEP::sector != 0 || size % SWEEP::sector != 0 || at >= complete)
        return lcn;
    const auto next = std::lower_bound(noted.begin(), noted.end(), at);
    const std::uint64_t to = std::min(next == noted.end() ? complete : *next, complete);
    if (to == at)
        return lcn;
    // The first cluster that begins at or past it.
    const std::uint64_t ahead = (to - at + size - 1) / size;
    return ahead >= count - lcn ? count : lcn + ahead;
}

}  // namespace carve
