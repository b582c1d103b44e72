// Fujifilm RAF: a header naming, by big-endian offset and length, the
// embedded JPEG, the metadata records and the CFA (raw) data; cameras with
// two sensors name a second metadata block and CFA after the first.
#include "verify/formats.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace verify {

namespace {

// The header up to the first part (the JPEG).
constexpr std::size_t headerbytes = 148;
// Where the (offset, length) pairs of the header lie: JPEG, metadata, CFA,
// and the second sensor's metadata and CFA.
constexpr std::size_t pairs[] = {84, 92, 100, 120, 128};

// The metadata block: a count of records, each a tag, a length and its bytes.
bool metadata(bytes m)
{
    if (m.size() < 4)
        return false;
    const std::uint64_t count = be32(m, 0);
    std::size_t at = 4;
    // Each record takes at least its 4-byte head.
    for (std::uint64_t i = 0; i < count; ++i) {
        if (m.size() - at < 4)
            return false;
        const std::size_t length = std::size_t(m[at + 2]) << 8 | m[at + 3];
        if (m.size() - at - 4 < length)
            return false;
        at += 4 + length;
    }
    return true;
}

FINDING walkraf(bytes d, bool decode)
{
    if (!startswith(d, "FUJIFILMCCD-RAW "))
        return damagedat();
    if (d.size() < headerbytes)
        return shortof(headerbytes);
    std::uint64_t end = headerbytes;
    std::uint64_t want = 0;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> parts;
    for (const std::size_t p : pairs) {
        const std::uint64_t offset = be32(d, p);
        const std::uint64_t length = be32(d, p + 4);
        const bool first = p < 120;
        if (offset == 0 && length == 0 && !first)
            continue;  // one sensor
        if (offset < headerbytes || (length == 0 && p != 92))
            return damagedat();
        if (offset + length > d.size()) {
            want = std::max(want, offset + length);
            continue;
        }
        end = std::max(end, offset + length);
        parts.emplace_back(offset, offset + length);
        const bytes part = d.subspan(std::size_t(offset), std::size_t(length));
        if (p == 84 && decode && check(family::jpeg, part) != verdict::verified)
            return damagedat();
        if ((p == 92 || p == 120) && length != 0 && !metadata(part))
            return damagedat();
    }
    if (want != 0)
        return shortof(std::size_t(std::max<std::uint64_t>(want, d.size() + 1)));
    // No two parts share bytes.
    std::sort(parts.begin(), parts.end());
    for (std::size_t i = 1; i < parts.size(); ++i)
        if (parts[i].first < parts[i - 1].second)
            return damagedat();
    return endsat(std::size_t(end));
}

}  // namespace

// Proves: the header, each part it names lying in the file and no two
// sharing bytes, the JPEG
// decoding and the metadata records fitting in their block.
FINDING readraf(bytes d)
{
    const FINDING f = walkraf(d, true);
    return f.v == verdict::verified ? endsat(d.size()) : f.want != 0 ? damagedat() : f;
}

// The furthest part the header names.
FINDING rafextent(bytes d) { return walkraf(d, false); }

bytes rafjpeg(bytes d)
{
    if (!startswith(d, "FUJIFILMCCD-RAW ") || d.size() < headerbytes)
        return {};
    const std::uint64_t offset = be32(d, 84);
    const std::uint64_t length = be32(d, 88);
    return offset + length <= d.size() ? d.subspan(std::size_t(offset), std::size_t(length)) : bytes();
}

}  // namespace verify
