// ZIP and gzip files too large to hold, read once from their first byte
// through a bounded buffer: the end found by their structure and every
// member inflated against its CRC-32 on the way, as readzip and readgzip
// prove the same bytes held whole.
#include "verify/formats.h"

#include <algorithm>
#include <cstring>
#include <vector>
#include <zlib.h>

namespace verify {

namespace {

// A file read forward through a buffer of its own: large reads however
// small the headers, and memory bounded whatever the file's size.
class SEQUENTIAL {
public:
    SEQUENTIAL(std::uint64_t length, const READAT& read) : length(length), read(read), buffer(bufferbytes) {}

    // At least n bytes (at most bufferbytes) at position() are buffered;
    // false past the file's length or when a read fails.
    bool need(std::size_t n)
    {
        if (held - first >= n)
            return true;
        if (n > buffer.size() || length - position() < n)
            return false;
        std::copy(buffer.begin() + std::ptrdiff_t(first), buffer.begin() + std::ptrdiff_t(held), buffer.begin());
        held -= first;
        base += first;
        first = 0;
        const std::uint64_t from = base + held;
        const std::size_t more = std::size_t(std::min<std::uint64_t>(buffer.size() - held, length - from));
        if (!read(from, more, buffer.data() + held))
            return false;
        held += more;
        return true;
    }
    // As many bytes as the buffer holds, or as are left; false when a read fails.
    bool fill() { return need(std::size_t(std::min<std::uint64_t>(buffer.size(), left()))); }
    std::uint64_t left() const { return length - position(); }
    const unsigned char* data() const { return buffer.data() + first; }
    bytes view() const { return bytes(data(), held - first); }
    std::size_t available() const { return held - first; }
    std::uint64_t position() const { return base + first; }
    // Passes n bytes on; false when that is past the file's length.
    bool skip(std::uint64_t n)
    {
        if (length - position() < n)
            return false;
        if (n <= held - first) {
            first += std::size_t(n);
            return true;
        }
        base = position() + n;
        first = held = 0;
        return true;
    }
    // n bytes on, each piece of them buffered to each; false when they
    // cannot be read or each says so.
    template <class EACH>
    bool each(std::uint64_t n, EACH each)
    {
        while (n != 0) {
            const std::size_t piece = std::size_t(std::min<std::uint64_t>(n, buffer.size()));
            if (!need(piece) || !each(bytes(data(), piece)))
                return false;
            skip(piece);
            n -= piece;
        }
        return true;
    }

    static constexpr std::size_t bufferbytes = 1u << 20;

private:
    std::uint64_t length;
    const READAT& read;
    std::vector<unsigned char> buffer;
    std::uint64_t base = 0;  // the file offset of buffer[0]
    std::size_t first = 0;   // buffer[first] is at position()
    std::size_t held = 0;    // bytes buffered
};

// readzip and readgzip allow a whole file 32 times its bytes inflated,
// and 4 MiB: that rule is applied once the file's end is known (whole).
// On the way the work is bounded by what any file in the bytes there are
// could be allowed, and by an allowance past 32 times the bytes read so
// far, what the rule allows a file as large as carving holds (32 MiB): a
// file whose first member is a long log is read, a bomb is not inflated
// for ever, and every file held whole gets the verdict it gets read so.
constexpr std::uint64_t heldbytes = 32u << 20;
constexpr std::uint64_t wholebudget(std::uint64_t bytes) { return 32 * bytes + (4u << 20); }
constexpr std::uint64_t inflateallowance = wholebudget(heldbytes);
// The most bytes looked through for a central directory after the entries.
constexpr std::uint64_t mostgap = heldbytes;

struct RUNNINGBUDGET {
    std::uint64_t length;  // the bytes there are
    std::uint64_t inflated = 0;
    bool spend(std::uint64_t produced, std::uint64_t consumed)
    {
        inflated += produced;
        return inflated <= wholebudget(length) && inflated <= 32 * consumed + inflateallowance;
    }
};

enum class inflated { end, damaged, costly };

// Inflates one stream from in's position (z set up by the caller) to its
// end, passing its output to each; consumed: the input it took.
template <class EACH>
inflated inflatefrom(SEQUENTIAL& in, z_stream& z, RUNNINGBUDGET& budget, std::uint64_t& consumed, EACH each)
{
    std::vector<unsigned char> out(64 * 1024);
    consumed = 0;
    while (true) {
        if (in.available() == 0 && !in.need(1))
            return inflated::damaged;  // the bytes there are end inside the stream
        const std::size_t offered = std::min<std::size_t>(in.available(), 1u << 30);
        z.next_in = const_cast<unsigned char*>(in.data());
        z.avail_in = uInt(offered);
        z.next_out = out.data();
        z.avail_out = uInt(out.size());
        const int r = inflate(&z, Z_NO_FLUSH);
        const std::size_t took = offered - z.avail_in;
        const std::size_t got = out.size() - z.avail_out;
        in.skip(took);
        consumed += took;
        if (!each(bytes(out.data(), got)))
            return inflated::damaged;
        if (!budget.spend(got, in.position()))
            return inflated::costly;
        if (r == Z_STREAM_END)
            return inflated::end;
        if (r != Z_OK && r != Z_BUF_ERROR)
            return inflated::damaged;
        if (took == 0 && got == 0)
            return inflated::damaged;  // no progress: nothing more will come of it
    }
}

constexpr std::uint32_t localsig = 0x04034b50;
constexpr std::uint32_t descriptorsig = 0x08074b50;
constexpr std::uint32_t centralsig = 0x02014b50;
constexpr std::uint32_t endsig = 0x06054b50;
constexpr std::uint32_t zip64locatorsig = 0x07064b50;
constexpr std::uint32_t zip64endsig = 0x06064b50;

// A stored entry's data whose sizes come only after it: its end is the
// first data descriptor (with its signature, fields of field bytes) that
// names the CRC-32 and the length of the bytes before it. in is left
// there; size and c: those bytes' length and CRC-32. Each byte is summed
// once and looked at as a signature's first once.
bool storedtodescriptor(SEQUENTIAL& in, std::size_t field, std::uint64_t& size, uLong& c)
{
    const std::size_t descriptor = 4 + 4 + 2 * field;
    size = 0;
    c = ::crc32(0L, Z_NULL, 0);
    while (in.fill() && in.available() >= descriptor) {
        const bytes v = in.view();
        // A descriptor must fit in the view: the bytes past its last place
        // are looked at once more are buffered.
        const std::size_t places = v.size() - descriptor + 1;
        std::size_t summed = 0;
        for (std::size_t p = 0; p < places; ++p) {
            const void* next = std::memchr(v.data() + p, 'P', places - p);
            if (!next)
                break;
            p = std::size_t(static_cast<const unsigned char*>(next) - v.data());
            if (le32(v, p) != descriptorsig)
                continue;
            c = ::crc32(c, v.data() + summed, uInt(p - summed));
            summed = p;
            const std::uint64_t length = size + p;
            const std::uint64_t csize = field == 8 ? le64(v, p + 8) : le32(v, p + 8);
            const std::uint64_t usize = field == 8 ? le64(v, p + 8 + field) : le32(v, p + 8 + field);
            if (le32(v, p + 4) == std::uint32_t(c) && csize == length && usize == length) {
                size = length;
                in.skip(p);
                return true;
            }
        }
        c = ::crc32(c, v.data() + summed, uInt(places - summed));
        size += places;
        in.skip(places);
    }
    return false;
}

// The 64-bit values of the ZIP64 extra field (0x0001) for the fields that
// are all ones, in their order; false when one is missing.
bool zip64values(bytes extra, std::uint64_t* const* fields, std::size_t count)
{
    bool any = false;
    for (std::size_t i = 0; i < count; ++i)
        any = any || fields[i];
    for (std::size_t at = 0; at + 4 <= extra.size();) {
        const std::size_t size = le16(extra, at + 2);
        if (size > extra.size() - at - 4)
            return false;
        if (le16(extra, at) == 0x0001) {
            std::size_t p = at + 4;
            for (std::size_t i = 0; i < count; ++i) {
                if (!fields[i])
                    continue;
                if (p + 8 > at + 4 + size)
                    return false;
                *fields[i] = le64(extra, p);
                p += 8;
            }
            return true;
        }
        at += 4 + size;
    }
    return !any;
}

// The entries the local headers and the central directory name, each side
// summed as a set of hashes: equal sums and counts, the same entries,
// without holding either list.
struct ENTRIES {
    std::uint64_t sum = 0;
    std::uint64_t mixed = 0;
    std::uint64_t count = 0;
    static std::uint64_t mix(std::uint64_t x)
    {
        x += 0x9e3779b97f4a7c15ull;
        x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
        x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
        return x ^ (x >> 31);
    }
    void add(std::uint64_t local, std::uint64_t csize, std::uint64_t usize, std::uint32_t crc, bytes name)
    {
        const std::uint64_t h =
            mix(local ^ mix(csize ^ mix(usize ^ mix(std::uint64_t(crc) << 16 ^ name.size() ^
                                                     std::uint64_t(crc32of(name)) << 32))));
        sum += h;
        mixed ^= mix(h);
        ++count;
    }
    bool operator==(const ENTRIES&) const = default;
};

}  // namespace

// As readzip and zipextent over the bytes held whole, from the first local
// header on: each entry's data follows its header, stored or deflated,
// with its CRC-32 and sizes (in the header, or in the data descriptor
// after the deflated data when its flag says so); the central directory
// follows the last entry (or bytes after it, as far as the end record's
// offset says) and names the same entries; the end record (after
// the ZIP64 record and locator when there are) closes it, and its comment
// ends the file; a stored entry with its sizes after it ends at the first
// descriptor that names its bytes. Unchecked for an encrypted entry or
// another method.
FINDING zipstreamed(std::uint64_t length, const READAT& read)
{
    SEQUENTIAL in(length, read);
    RUNNINGBUDGET budget{length};
    ENTRIES locals;
    std::uint64_t declared = 0;  // what the entries checked inflate to
    bool unchecked = false;
    if (!in.need(4) || le32(in.view(), 0) != localsig)
        return damagedat();
    // Each entry takes its 30-byte header and the stream consumes what it reads.
    while (in.need(4) && le32(in.view(), 0) == localsig) {
        const std::uint64_t local = in.position();
        if (!in.need(30))
            return damagedat();
        const bytes h = in.view();
        const std::uint16_t flags = le16(h, 6);
        const std::uint16_t method = le16(h, 8);
        std::uint32_t crc = le32(h, 14);
        std::uint64_t csize = le32(h, 18);
        std::uint64_t usize = le32(h, 22);
        const std::size_t namelen = le16(h, 26);
        const std::size_t extralen = le16(h, 28);
        if (!in.need(30 + namelen + extralen))
            return damagedat();
        const std::vector<unsigned char> name(in.data() + 30, in.data() + 30 + namelen);
        std::uint64_t* const wide[2] = {usize == 0xFFFFFFFF ? &usize : nullptr,
                                        csize == 0xFFFFFFFF ? &csize : nullptr};
        const bool zip64 = wide[0] || wide[1];
        if (!zip64values(bytes(in.data() + 30 + namelen, extralen), wide, 2))
            return damagedat();
        in.skip(30 + namelen + extralen);
        const bool descriptor = flags & 8;
        if ((flags & 1) || (method != 0 && method != 8)) {
            // Not inflated here; its end is found only when its sizes are known.
            if (descriptor || !in.skip(csize))
                return toocostly();
            unchecked = true;
            locals.add(local, csize, usize, crc, name);
            continue;
        }
        uLong c = ::crc32(0L, Z_NULL, 0);
        std::uint64_t produced = 0;
        const auto sum = [&](bytes piece) {
            c = ::crc32(c, piece.data(), uInt(piece.size()));
            produced += piece.size();
            // More than the header says: no need to inflate a bomb to its end.
            return descriptor || produced <= usize;
        };
        std::uint64_t consumed = csize;
        if (method == 0 && descriptor) {
            if (!storedtodescriptor(in, zip64 ? 8 : 4, produced, c))
                return damagedat();
            consumed = produced;
        } else if (method == 0) {
            if (csize != usize || !in.each(csize, sum))
                return damagedat();
        } else {
            z_stream z{};
            if (inflateInit2(&z, -MAX_WBITS) != Z_OK)
                return damagedat();
            const inflated r = inflatefrom(in, z, budget, consumed, sum);
            inflateEnd(&z);
            if (r == inflated::costly)
                return toocostly();
            if (r != inflated::end)
                return damagedat();
        }
        if (descriptor) {
            // Its signature is optional.
            const std::size_t field = zip64 ? 8 : 4;
            if (!in.need(4 + 2 * field))
                return damagedat();
            const std::size_t at = le32(in.view(), 0) == descriptorsig ? 4 : 0;
            if (!in.need(at + 4 + 2 * field))
                return damagedat();
            const bytes d = in.view();
            crc = le32(d, at);
            csize = zip64 ? le64(d, at + 4) : le32(d, at + 4);
            usize = zip64 ? le64(d, at + 4 + field) : le32(d, at + 4 + field);
            in.skip(at + 4 + 2 * field);
        }
        if (consumed != csize || produced != usize || std::uint32_t(c) != crc)
            return damagedat();
        locals.add(local, csize, usize, crc, name);
        declared += usize;
    }
    // Bytes may lie between the last entry and the central directory (an
    // APK's signing block): the directory is the first central header on
    // that names a local header before them, and the end record must say it
    // starts there. Searched as far as a file held whole could put it: an
    // archive without its directory does not read the rest of the card.
    const std::uint64_t entriesend = in.position();
    while (true) {
        if (in.position() - entriesend > mostgap || !in.need(4))
            return damagedat();
        const std::uint32_t signature = le32(in.view(), 0);
        if (signature == centralsig && in.need(46) &&
            (le32(in.view(), 42) < entriesend || le32(in.view(), 42) == 0xFFFFFFFF))
            break;
        if (signature == centralsig) {
            in.skip(1);
            continue;
        }
        // Each byte looked at once as a signature's first.
        if (!in.fill() || in.available() < 4)
            return damagedat();
        const bytes v = in.view();
        const void* p = std::memchr(v.data() + 1, 'P', v.size() - 3);
        in.skip(p ? std::size_t(static_cast<const unsigned char*>(p) - v.data()) : v.size() - 3);
    }
    const std::uint64_t cdoffset = in.position();
    ENTRIES centrals;
    // Each entry takes at least 46 bytes.
    while (in.need(4) && le32(in.view(), 0) == centralsig) {
        if (!in.need(46))
            return damagedat();
        const std::size_t namelen = le16(in.view(), 28);
        const std::size_t extralen = le16(in.view(), 30);
        const std::size_t whole = 46 + namelen + extralen + le16(in.view(), 32);
        if (!in.need(whole))
            return damagedat();
        const bytes e = in.view();
        std::uint64_t usize = le32(e, 24);
        std::uint64_t csize = le32(e, 20);
        std::uint64_t local = le32(e, 42);
        std::uint64_t* const wide[3] = {usize == 0xFFFFFFFF ? &usize : nullptr,
                                        csize == 0xFFFFFFFF ? &csize : nullptr,
                                        local == 0xFFFFFFFF ? &local : nullptr};
        if (!zip64values(e.subspan(46 + namelen, extralen), wide, 3))
            return damagedat();
        centrals.add(local, csize, usize, le32(e, 16), e.subspan(46, namelen));
        in.skip(whole);
    }
    const std::uint64_t cdsize = in.position() - cdoffset;
    std::uint64_t count = 0, size = 0, offset = 0;
    bool wide = false;
    if (in.need(56) && le32(in.view(), 0) == zip64endsig) {
        const std::uint64_t record = in.position();
        const std::uint64_t recordsize = le64(in.view(), 4);
        count = le64(in.view(), 32);
        size = le64(in.view(), 40);
        offset = le64(in.view(), 48);
        if (recordsize < 44 || !in.skip(12 + recordsize) || !in.need(20) || le32(in.view(), 0) != zip64locatorsig ||
            le64(in.view(), 8) != record)
            return damagedat();
        in.skip(20);
        wide = true;
    }
    if (!in.need(22) || le32(in.view(), 0) != endsig)
        return damagedat();
    const bytes end = in.view();
    if (!wide) {
        count = le16(end, 10);
        size = le32(end, 12);
        offset = le32(end, 16);
        if (count == 0xFFFF || size == 0xFFFFFFFF || offset == 0xFFFFFFFF)
            return damagedat();
    }
    const std::uint64_t comment = le16(end, 20);
    if (count != centrals.count || size != cdsize || offset != cdoffset || !(centrals == locals) ||
        !in.skip(22 + comment))
        return damagedat();
    // readzip's budget over the whole file.
    return unchecked || declared > wholebudget(in.position()) ? toocostly() : endsat(std::size_t(in.position()));
}

// As readgzip over the bytes held whole: member after member inflated to
// its trailer (zlib checks its CRC-32 and size), while the next begins
// right after, and not at a multiple of align (another file).
FINDING gzipstreamed(std::uint64_t length, const READAT& read, std::size_t align)
{
    SEQUENTIAL in(length, read);
    if (!in.need(2) || !startswith(in.view(), "\x1f\x8b"))
        return damagedat();
    z_stream z{};
    if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK)
        return damagedat();
    RUNNINGBUDGET budget{length};
    FINDING found = damagedat();
    // Each member takes at least its header's bytes.
    while (true) {
        std::uint64_t consumed = 0;
        const inflated r = inflatefrom(in, z, budget, consumed, [](bytes) { return true; });
        if (r != inflated::end) {
            found = r == inflated::costly ? toocostly() : damagedat();
            break;
        }
        if (!in.need(2) || !startswith(in.view(), "\x1f\x8b") || (align != 0 && in.position() % align == 0)) {
            // readgzip's budget over the whole file.
            found = budget.inflated > wholebudget(in.position()) ? toocostly() : endsat(std::size_t(in.position()));
            break;
        }
        inflateReset(&z);
    }
    inflateEnd(&z);
    return found;
}

}  // namespace verify
