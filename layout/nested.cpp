#include "layout/nested.h"

#include "fat/direntry.h"
#include "model/littleendian.h"

#include <algorithm>
#include <limits>

namespace layout {

namespace {

bool agrees(const DIRPAIR& p, const FOUNDLAYOUT& f)
{
    return p.offset == f.datastart + (std::uint64_t(p.cluster) - 2) * f.clustersize;
}

// True when a file entry of the table names a run of outer's clusters
// that holds [from, to).
bool listsfilearound(const unsigned char* table, std::size_t n, const FOUNDLAYOUT& outer, std::uint64_t from,
                     std::uint64_t to)
{
    for (std::size_t at = 0; at + 32 <= n; at += 32) {
        const unsigned char* e = table + at;
        if (e[0] == slotempty)
            break;
        if (e[dirfield::attr] == attrlongname || (e[dirfield::attr] & (attrdirectory | 0x08)))
            continue;
        const std::uint64_t size = le32(e + dirfield::filesize);
        const std::uint32_t start =
            (outer.fat32 ? std::uint32_t(le16(e + dirfield::fstclushi)) << 16 : 0) | le16(e + dirfield::fstcluslo);
        if (size == 0 || start < 2 || start - 2 >= outer.clusters)
            continue;
        const std::uint64_t first = outer.datastart + (std::uint64_t(start) - 2) * outer.clustersize;
        if (first <= from && to <= first + size)
            return true;
    }
    return false;
}

}  // namespace

bool insidefile(platform::volhandle handle, const std::vector<DIRPAIR>& pairs, const FOUNDLAYOUT& outer,
                const FOUNDLAYOUT& inner)
{
    if (outer.clustersize == 0 || inner.clustersize == 0)
        return false;
    // The bytes inner's directories span: one file must hold them all.
    std::uint64_t from = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t to = 0;
    for (const DIRPAIR& p : pairs)
        if (agrees(p, inner)) {
            from = std::min(from, p.offset);
            to = std::max(to, p.offset + 64);
        }
    if (to == 0)
        return false;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> directories;  // offset, bytes
    if (outer.rootbytes != 0 && outer.rootbytes <= outer.datastart)
        directories.emplace_back(outer.datastart - outer.rootbytes, outer.rootbytes);
    else if (outer.rootcluster >= 2)
        directories.emplace_back(outer.datastart + (std::uint64_t(outer.rootcluster) - 2) * outer.clustersize,
                                 outer.clustersize);
    for (const DIRPAIR& p : pairs)
        if (agrees(p, outer))
            directories.emplace_back(p.offset, outer.clustersize);
    std::vector<unsigned char> bytes;
    std::uint64_t spent = 0;
    for (const auto& [offset, size] : directories) {
        if (spent + size > nestedreadcap)
            break;
        spent += size;
        bytes.resize(size);
        if (platform::readat(handle, offset, std::uint32_t(size), bytes.data()) &&
            listsfilearound(bytes.data(), bytes.size(), outer, from, to))
            return true;
    }
    return false;
}

}  // namespace layout
