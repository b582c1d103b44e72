#include "deep/dirsectors.h"

#include <algorithm>

namespace deep {

bool mayopendirectory(const unsigned char* s)
{
    if (s[0] == 0)
        return false;
    std::size_t at = 0;
    for (; at < SWEEP::sector && s[at] != 0; at += 32) {
        const unsigned char* e = s + at;
        if (e[11] == 0x0F) {
            // A long-name slot: an order of 1 to 20 (or erased), zeros at 12 and 26.
            const unsigned char order = e[0] & 0xBF;
            if (!(e[0] == 0xE5 || (order >= 1 && order <= 20)) || e[12] != 0 || e[26] != 0 || e[27] != 0)
                return false;
        } else if ((e[11] & 0xC0) || (e[12] & ~0x18)) {
            return false;
        }
    }
    for (; at < SWEEP::sector; ++at)
        if (s[at] != 0)
            return false;
    return true;
}

void DIRSECTORS::block(const SWEEPBLOCK& b)
{
    if (noted.size() >= maxsectors)
        return;
    for (std::uint64_t k = (SWEEP::sector - b.at % SWEEP::sector) % SWEEP::sector; k + SWEEP::sector <= b.n;
         k += SWEEP::sector) {
        const std::uint64_t at = b.at + k;
        // A sector that could not be read may be anything.
        if (!mayopendirectory(b.bytes + k) && b.readable(at, at + SWEEP::sector))
            continue;
        if (noted.size() >= maxsectors) {
            complete = at;
            return;
        }
        noted.push_back(at);
    }
}

bool DIRSECTORS::maybe(std::uint64_t at) const
{
    if (at % SWEEP::sector != 0 || at >= complete)
        return true;
    return std::binary_search(noted.begin(), noted.end(), at);
}

}  // namespace deep
