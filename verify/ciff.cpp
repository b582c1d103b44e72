// Canon CRW: the CIFF heap. A header (byte order, its length,
// "HEAPCCDR"), then the root heap to the file's end. A heap's last four
// bytes say where its directory lies in it: a count of 10-byte entries,
// each a tag, a length and an offset into the heap (or eight bytes held in
// the entry itself); an entry of a directory type is a heap of its own.
#include "verify/formats.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace verify {

namespace {

constexpr int mostdepth = 8;
constexpr int mostheaps = 256;
// Ends whose numbers meet but whose heaps do not parse, in one search.
constexpr int mosttries = 64;
constexpr std::uint32_t rawdata = 0x2005;
constexpr std::uint32_t jpegfromraw = 0x2007;

struct CIFF {
    CIFF(bytes data, bool bigendian) : d(data), big(bigendian), entriesleft(data.size() / 10 + 4096) {}
    bytes d;
    bool big;
    // Entries read, in all heaps: heaps that name one heap many times must
    // not read it again and again.
    std::uint64_t entriesleft;
    int heaps = 0;
    bool sawraw = false;
    std::vector<std::pair<std::size_t, std::size_t>> jpegs;  // offset, length

    std::uint32_t u16(std::size_t at) const
    {
        return big ? std::uint32_t(d[at]) << 8 | d[at + 1] : std::uint32_t(d[at]) | std::uint32_t(d[at + 1]) << 8;
    }
    std::uint32_t u32(std::size_t at) const
    {
        return big ? u16(at) << 16 | u16(at + 2) : u16(at) | u16(at + 2) << 16;
    }

    // The heap [start, end): its directory and every entry's data before
    // it, sub-heaps too.
    bool heap(std::size_t start, std::size_t end, int depth)
    {
        if (++heaps > mostheaps || depth > mostdepth || end - start < 6)
            return false;
        const std::uint64_t dir = start + std::uint64_t(u32(end - 4));
        if (dir + 2 > end - 4)
            return false;
        const std::uint64_t count = u16(std::size_t(dir));
        if (dir + 2 + 10 * count > end - 4 || count > entriesleft)
            return false;
        entriesleft -= count;
        for (std::uint64_t i = 0; i < count; ++i) {
            const std::size_t e = std::size_t(dir + 2 + 10 * i);
            const std::uint32_t tag = u16(e);
            if ((tag & 0xC000) == 0x4000)
                continue;  // the value is in the entry
            if ((tag & 0xC000) != 0)
                return false;
            const std::uint64_t length = u32(e + 2);
            const std::uint64_t at = start + std::uint64_t(u32(e + 6));
            if (at > dir || length > dir - at)
                return false;
            if (depth == 0 && tag == rawdata)
                sawraw = true;
            if (depth == 0 && tag == jpegfromraw && length != 0)
                jpegs.emplace_back(std::size_t(at), std::size_t(length));
            const std::uint32_t type = tag & 0x3800;
            if ((type == 0x2800 || type == 0x3000) && !heap(std::size_t(at), std::size_t(at + length), depth + 1))
                return false;
        }
        return true;
    }
};

// The header's byte order and length; 0 when d does not begin as a CRW.
std::size_t ciffheader(bytes d, bool* big)
{
    if (d.size() < 14 || !(startswith(d, "II") || startswith(d, "MM")) || !matchat(d, 6, "HEAPCCDR"))
        return 0;
    *big = d[0] == 'M';
    const std::uint32_t length = *big ? be32(d, 2) : le32(d, 2);
    return length >= 14 ? length : 0;
}

}  // namespace

bool ciffstart(bytes head)
{
    bool big = false;
    return head.size() < 14 || ciffheader(head, &big) != 0;
}

// Proves: the header, the root heap to the end of the file and every heap
// below it, each entry's data lying before its heap's directory, and the
// JPEG the root names decoding.
FINDING readciff(bytes d)
{
    bool big = false;
    const std::size_t start = ciffheader(d, &big);
    if (start == 0 || start >= d.size())
        return damagedat();
    CIFF c(d, big);
    if (!c.heap(start, d.size(), 0))
        return damagedat();
    // Each JPEG decoded once: a root that names one JPEG over and over
    // would cost a decode of it each time.
    std::sort(c.jpegs.begin(), c.jpegs.end());
    c.jpegs.erase(std::unique(c.jpegs.begin(), c.jpegs.end()), c.jpegs.end());
    std::uint64_t decoded = 0;
    for (const auto& [at, length] : c.jpegs)
        decoded += length;
    if (decoded > 2 * std::uint64_t(d.size()))
        return toocostly();
    for (const auto& [at, length] : c.jpegs)
        if (check(family::jpeg, d.subspan(at, length)) != verdict::verified)
            return damagedat();
    return endsat(d.size());
}

// The root heap ends where its last four bytes name a directory that
// ends right before them (as cameras write it) and the heaps parse, the
// raw data among the root's entries: the first such end is the file's.
FINDING ciffextent(bytes d)
{
    bool big = false;
    const std::size_t start = ciffheader(d, &big);
    if (start == 0)
        return d.size() < 14 ? shortof(14) : damagedat();
    CIFF c(d, big);
    int tries = 0;
    // Each end tried costs a few reads; a parse only where the numbers meet.
    for (std::size_t end = start + 6; end <= d.size(); ++end) {
        const std::uint64_t dir = start + std::uint64_t(c.u32(end - 4));
        if (dir + 6 > end || dir + 2 + 10 * std::uint64_t(c.u16(std::size_t(dir))) + 4 != end)
            continue;
        CIFF whole(d, big);
        if (whole.heap(start, end, 0) && whole.sawraw)
            return endsat(end);
        if (++tries == mosttries)
            return toocostly();
    }
    return shortof(d.size() + 1);
}

}  // namespace verify
