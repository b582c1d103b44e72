// How many clusters of a data area a reader may ask of the card, for FAT
// and exFAT alike: those the volume declares that lie whole inside both
// the volume and the source (a card cut short, an image of part of one).
#pragma once

#include <algorithm>
#include <cstdint>

// Clusters of clusterbytes from byte first on, at most declared, that end
// by volumebytes and by sourcebytes (0: the source's size is not known).
inline std::uint64_t readableclusters(std::uint64_t declared, std::uint64_t first, std::uint64_t clusterbytes,
                                      std::uint64_t volumebytes, std::uint64_t sourcebytes)
{
    if (clusterbytes == 0)
        return 0;
    const auto inside = [&](std::uint64_t bytes) { return bytes > first ? (bytes - first) / clusterbytes : 0; };
    std::uint64_t count = std::min(declared, inside(volumebytes));
    if (sourcebytes != 0)
        count = std::min(count, inside(sourcebytes));
    return count;
}
