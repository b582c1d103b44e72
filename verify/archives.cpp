// ZIP and gzip: the structure, and the contents inflated by zlib against
// their CRC-32s, within a budget of inflated bytes that the file's size sets.
#include "verify/formats.h"

#include <algorithm>
#include <cstring>
#include <vector>
#include <zlib.h>

namespace verify {

namespace {

// Inflating costs about a millisecond per MiB written: a small multiple of
// the file's size keeps a check near 0.03 s per MiB of the file, and covers
// the ratios of real contents (text and office documents deflate 3 to 10
// times); a floor for small files.
BUDGET inflatebudget(bytes d) { return BUDGET{32 * std::uint64_t(d.size()) + (4u << 20)}; }

}  // namespace

std::uint32_t crc32of(bytes d) { return verify::crc32(d, 0); }

std::uint32_t crc32(bytes d, std::uint32_t previous)
{
    uLong c = previous;
    for (std::size_t at = 0; at < d.size();) {
        const uInt n = uInt(std::min<std::size_t>(d.size() - at, 1u << 30));
        c = ::crc32(c, d.data() + at, n);
        at += n;
    }
    return std::uint32_t(c);
}

namespace {

// Inflates a raw deflate stream of exactly insize bytes; true when it ends
// there with outsize bytes whose CRC-32 is expected.
bool inflateraw(bytes in, std::uint64_t outsize, std::uint32_t expected)
{
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK)
        return false;
    std::vector<unsigned char> out(64 * 1024);
    uLong c = ::crc32(0L, Z_NULL, 0);
    std::uint64_t total = 0;
    std::size_t at = 0;
    int r = Z_OK;
    while (r == Z_OK) {
        if (z.avail_in == 0 && at < in.size()) {
            z.next_in = const_cast<unsigned char*>(in.data() + at);
            z.avail_in = uInt(std::min<std::size_t>(in.size() - at, 1u << 30));
            at += z.avail_in;
        }
        z.next_out = out.data();
        z.avail_out = uInt(out.size());
        r = inflate(&z, Z_NO_FLUSH);
        const std::size_t got = out.size() - z.avail_out;
        c = ::crc32(c, out.data(), uInt(got));
        total += got;
        if (total > outsize)
            break;  // more than the entry says: no need to inflate a bomb to its end
        if (r == Z_OK && got == 0 && z.avail_in == 0 && at == in.size())
            break;  // input ran out before the end of the stream
    }
    inflateEnd(&z);
    return r == Z_STREAM_END && z.avail_in == 0 && at == in.size() && total == outsize &&
           std::uint32_t(c) == expected;
}

constexpr std::uint32_t localsig = 0x04034b50;
constexpr std::uint32_t centralsig = 0x02014b50;
constexpr std::uint32_t endsig = 0x06054b50;
constexpr std::uint32_t zip64locatorsig = 0x07064b50;
constexpr std::uint32_t zip64endsig = 0x06064b50;

struct ENTRY {
    std::uint64_t local;  // its local header
    std::uint64_t data;  // its data
    std::uint64_t csize, usize;
    std::uint32_t crc;
    std::uint16_t method, flags;
};

// The ZIP64 extra field (0x0001) of a central entry: the 64-bit values of
// the fields that are all ones, in their order. False when one is missing.
bool zip64fields(bytes extra, ENTRY& e, std::uint16_t disk)
{
    std::uint64_t* wanted[3] = {e.usize == 0xFFFFFFFF ? &e.usize : nullptr,
                                e.csize == 0xFFFFFFFF ? &e.csize : nullptr,
                                e.local == 0xFFFFFFFF ? &e.local : nullptr};
    const bool any = wanted[0] || wanted[1] || wanted[2] || disk == 0xFFFF;
    // Each field takes 4 bytes of header and its length.
    for (std::size_t at = 0; at + 4 <= extra.size();) {
        const std::uint16_t id = le16(extra, at);
        const std::size_t length = le16(extra, at + 2);
        if (length > extra.size() - at - 4)
            return false;
        if (id == 0x0001) {
            std::size_t p = at + 4;
            for (std::uint64_t* field : wanted) {
                if (!field)
                    continue;
                if (p + 8 > at + 4 + length)
                    return false;
                *field = le64(extra, p);
                p += 8;
            }
            return true;
        }
        at += 4 + length;
    }
    return !any;
}

}  // namespace

// Proves: the file starts with a local header (or is an empty archive); the
// end record closes the file; the central directory lies just before it
// (or before the ZIP64 end record its locator names) and holds the number
// of entries it says; each entry's local header is where it says, with the
// same name, its data ends before the central directory and no two
// entries' ranges overlap; every stored or deflated entry has its size and
// CRC-32. Unchecked when an entry is encrypted, uses another method, or
// when inflating everything would exceed the budget, unless some other
// entry is damaged.
FINDING readzip(bytes d)
{
    if (d.size() < 22 || !(le32(d, 0) == localsig || le32(d, 0) == endsig))
        return damagedat();
    std::size_t end = d.size();  // where the end record starts
    for (std::size_t at = d.size() - 22, n = 0; n <= 0xFFFF; --at, ++n) {
        if (le32(d, at) == endsig && at + 22 + le16(d, at + 20) == d.size()) {
            end = at;
            break;
        }
        if (at == 0)
            break;
    }
    if (end == d.size())
        return damagedat();
    std::uint64_t count = le16(d, end + 10);
    std::uint64_t cdsize = le32(d, end + 12);
    std::uint64_t cdoffset = le32(d, end + 16);
    std::uint64_t cdend = end;
    if (end >= 20 && le32(d, end - 20) == zip64locatorsig) {
        // ZIP64: the locator just before the end record names the record,
        // whose values replace the end record's.
        const std::uint64_t record = le64(d, end - 12);
        if (record > end - 20 || end - 20 - record < 56 || le32(d, std::size_t(record)) != zip64endsig)
            return damagedat();
        count = le64(d, std::size_t(record) + 32);
        cdsize = le64(d, std::size_t(record) + 40);
        cdoffset = le64(d, std::size_t(record) + 48);
        cdend = record;
    } else if (count == 0xFFFF || cdsize == 0xFFFFFFFF || cdoffset == 0xFFFFFFFF) {
        return damagedat();
    }
    if (cdoffset > cdend || cdend - cdoffset != cdsize)
        return damagedat();
    std::vector<ENTRY> entries;
    std::size_t at = std::size_t(cdoffset);
    // Each entry takes at least 46 bytes of the directory.
    for (std::uint64_t i = 0; i < count; ++i) {
        if (cdend - at < 46 || le32(d, at) != centralsig)
            return damagedat();
        const std::uint16_t namelen = le16(d, at + 28);
        const std::uint16_t extralen = le16(d, at + 30);
        const std::size_t next = at + 46 + namelen + extralen + le16(d, at + 32);
        if (next > cdend)
            return damagedat();
        ENTRY e{le32(d, at + 42), 0, le32(d, at + 20), le32(d, at + 24), le32(d, at + 16), le16(d, at + 10),
                le16(d, at + 8)};
        if (!zip64fields(d.subspan(at + 46 + namelen, extralen), e, le16(d, at + 34)))
            return damagedat();
        const std::uint64_t local = e.local;
        if (local > cdoffset || cdoffset - local < 30 || le32(d, std::size_t(local)) != localsig ||
            le16(d, std::size_t(local) + 26) != namelen || local + 30 + namelen > cdoffset ||
            std::memcmp(d.data() + local + 30, d.data() + at + 46, namelen) != 0)
            return damagedat();
        e.data = local + 30 + namelen + le16(d, std::size_t(local) + 28);
        if (e.data > cdoffset || e.csize > cdoffset - e.data)
            return damagedat();
        entries.push_back(e);
        at = next;
    }
    if (at != cdend)
        return damagedat();
    // Entries in the order of their data: each must end before the next
    // begins (entries sharing data would make a bomb of a small file).
    std::sort(entries.begin(), entries.end(), [](const ENTRY& a, const ENTRY& b) { return a.local < b.local; });
    for (std::size_t i = 1; i < entries.size(); ++i)
        if (entries[i].local < entries[i - 1].data + entries[i - 1].csize)
            return damagedat();
    BUDGET budget = inflatebudget(d);
    bool unchecked = false;
    for (const ENTRY& e : entries) {
        if ((e.flags & 1) || (e.method != 0 && e.method != 8) || !budget.spend(e.usize)) {
            unchecked = true;  // encrypted, another method, or too much to inflate
            continue;
        }
        const bytes body = d.subspan(std::size_t(e.data), std::size_t(e.csize));
        if (e.method == 0 && (e.csize != e.usize || crc32of(body) != e.crc))
            return damagedat();
        if (e.method == 8 && !inflateraw(body, e.usize, e.crc))
            return damagedat();
    }
    return unchecked ? toocostly() : endsat(d.size());
}

// The end record whose central directory ends right before it (or
// before the ZIP64 end record its locator names), searched forward from
// the first local header: the first such one ends the archive (an archive
// stored inside it has its records at offsets of its own), and the
// comment its length names follows it. One pass, however the records point.
FINDING zipextent(bytes d)
{
    if (d.size() < 4)
        return shortof(30);
    if (le32(d, 0) != localsig && le32(d, 0) != endsig)
        return damagedat();
    for (std::size_t from = 0;;) {
        const std::size_t at = findfrom(d, from, std::string_view("PK\x05\x06", 4));
        if (at == d.size())
            return shortof(d.size() + 1);
        if (d.size() - at < 22)
            return shortof(at + 22);
        std::uint64_t cdsize = le32(d, at + 12);
        std::uint64_t cdoffset = le32(d, at + 16);
        bool closes = cdoffset + cdsize == at;
        if (!closes && at >= 20 && le32(d, at - 20) == zip64locatorsig) {
            const std::uint64_t record = le64(d, at - 12);
            if (record <= at - 20 && at - 20 - record >= 56 && le32(d, std::size_t(record)) == zip64endsig) {
                cdsize = le64(d, std::size_t(record) + 40);
                cdoffset = le64(d, std::size_t(record) + 48);
                closes = cdoffset <= record && record - cdoffset == cdsize;
            }
        }
        if (closes) {
            const std::size_t end = at + 22 + le16(d, at + 20);
            return end > d.size() ? shortof(end) : endsat(end);
        }
        from = at + 1;
    }
}

FINDING appendedzip(bytes d)
{
    if (d.size() < 4 || le32(d, 0) != localsig)
        return damagedat();
    // The local headers, each after the data its sizes name, up to the
    // central directory: junk after a "PK" fails here, in a few steps,
    // before a search for an end record through all the bytes there are.
    // Sizes kept in a data descriptor (or ZIP64's) leave it to the search.
    for (std::size_t at = 0;;) {
        if (d.size() - at < 30)
            return shortof(at + 30);
        const std::uint32_t signature = le32(d, at);
        if (signature == centralsig || signature == endsig)
            break;
        const std::uint32_t csize = le32(d, at + 18);
        if (signature != localsig)
            return damagedat();
        if ((le16(d, at + 6) & 8) || csize == 0xFFFFFFFF)
            break;
        const std::uint64_t next = std::uint64_t(at) + 30 + le16(d, at + 26) + le16(d, at + 28) + csize;
        if (next > d.size())
            return shortof(std::size_t(next));
        at = std::size_t(next);
    }
    const FINDING end = zipextent(d);
    if (end.v != verdict::verified)
        return end;
    const FINDING whole = readzip(d.first(end.end));
    return whole.v == verdict::verified ? end : whole;
}

// Proves: every member inflates to its trailer with the right CRC-32 and
// size (zlib checks both); reports where the last member ends. Unchecked
// when the members inflate to more than the budget.
FINDING readgzip(bytes d, std::size_t align)
{
    if (!startswith(d, "\x1f\x8b"))
        return damagedat();
    z_stream z{};
    if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK)
        return damagedat();
    BUDGET budget = inflatebudget(d);
    std::vector<unsigned char> out(64 * 1024);
    std::size_t at = 0;
    FINDING found = damagedat();
    // Each step takes input (a member, or a slice of one).
    while (at < d.size()) {
        z.next_in = const_cast<unsigned char*>(d.data() + at);
        z.avail_in = uInt(std::min<std::size_t>(d.size() - at, 1u << 30));
        const std::size_t offered = z.avail_in;
        int r = Z_OK;
        bool costly = false;
        do {
            z.next_out = out.data();
            z.avail_out = uInt(out.size());
            r = inflate(&z, Z_NO_FLUSH);
            costly = !budget.spend(out.size() - z.avail_out);
        } while (!costly && r == Z_OK && (z.avail_in != 0 || z.avail_out == 0));
        at += offered - z.avail_in;
        if (costly) {
            found = toocostly();
            break;
        }
        if (r == Z_OK && offered != z.avail_in && at < d.size())
            continue;  // the stream goes on past this slice
        if (r != Z_STREAM_END) {
            // Input used up inside the stream: the data ended, not the member.
            found = r == Z_OK || r == Z_BUF_ERROR ? shortof(d.size() + 1) : damagedat();
            break;
        }
        found = endsat(at);
        if (!matchat(d, at, "\x1f\x8b") || (align != 0 && at % align == 0))
            break;  // what follows is no member (padding, damage, or the next file)
        inflateReset(&z);
    }
    inflateEnd(&z);
    return found;
}

}  // namespace verify
