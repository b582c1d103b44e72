#include "spool/entrydata.h"

#include <algorithm>

namespace spool {

namespace {

std::uint32_t le16(const unsigned char* p) { return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8; }
std::uint32_t le32(const unsigned char* p) { return le16(p) | le16(p + 2) << 16; }

}  // namespace

void fatentries(const unsigned char* cluster, std::uint64_t bytes, bool fat32,
                const std::function<void(std::uint32_t, std::uint64_t)>& each)
{
    for (std::uint64_t k = 0; k + 32 <= bytes; k += 32) {
        const unsigned char* e = cluster + k;
        if (e[0] == 0)
            return;
        const unsigned char attr = e[11];
        // Long-name slots, labels, "." and "..", folders (the sweep reads those itself).
        if ((attr & 0x3F) == 0x0F || (attr & 0x18) != 0 || e[0] == '.')
            continue;
        const std::uint32_t high = fat32 ? le16(e + 20) : 0;
        if (e[0] == 0xE5 && fat32 && high == 0)
            continue;
        const std::uint32_t start = high << 16 | le16(e + 26);
        const std::uint64_t size = le32(e + 28);
        if (start >= 2 && size != 0)
            each(start, size);
    }
}

RANGE clusterrange(std::uint64_t first, std::uint64_t clusterbytes, std::uint32_t start, std::uint64_t size,
                   std::uint64_t total)
{
    if (clusterbytes == 0 || start < 2)
        return {};
    const std::uint64_t from = first + std::uint64_t(start - 2) * clusterbytes;
    if (from >= total)
        return {};
    const std::uint64_t clusters = size / clusterbytes + (size % clusterbytes != 0);
    const std::uint64_t length = std::min(clusters, (total - from) / clusterbytes + 1) * clusterbytes;
    return {from, std::min(total, from + length)};
}

}  // namespace spool
