// The structural checks of the families other than JPEG. Every walk over
// the bytes advances by at least one byte per step, so the file's size
// bounds it.
#include "verify/verify.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>
#include <zlib.h>

namespace verify {

namespace {

std::uint16_t le16(bytes d, std::size_t at) { return std::uint16_t(d[at] | d[at + 1] << 8); }
std::uint32_t le32(bytes d, std::size_t at) { return std::uint32_t(le16(d, at)) | std::uint32_t(le16(d, at + 2)) << 16; }
std::uint64_t le64(bytes d, std::size_t at) { return le32(d, at) | std::uint64_t(le32(d, at + 4)) << 32; }
std::uint32_t be32(bytes d, std::size_t at)
{
    return std::uint32_t(d[at]) << 24 | std::uint32_t(d[at + 1]) << 16 | std::uint32_t(d[at + 2]) << 8 | d[at + 3];
}
std::uint64_t be64(bytes d, std::size_t at) { return std::uint64_t(be32(d, at)) << 32 | be32(d, at + 4); }

bool startswith(bytes d, std::string_view s)
{
    return d.size() >= s.size() && std::memcmp(d.data(), s.data(), s.size()) == 0;
}

bool matchat(bytes d, std::size_t at, std::string_view s)
{
    return at <= d.size() && d.size() - at >= s.size() && std::memcmp(d.data() + at, s.data(), s.size()) == 0;
}

// zlib's crc32 over any length.
std::uint32_t crc(bytes d)
{
    uLong c = crc32(0L, Z_NULL, 0);
    for (std::size_t at = 0; at < d.size();) {
        const uInt n = uInt(std::min<std::size_t>(d.size() - at, 1u << 30));
        c = crc32(c, d.data() + at, n);
        at += n;
    }
    return std::uint32_t(c);
}

// Inflates a raw deflate stream of exactly insize bytes; true when it ends
// there with outsize bytes whose CRC-32 is expected.
bool inflateraw(bytes in, std::uint64_t outsize, std::uint32_t expected)
{
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK)
        return false;
    std::vector<unsigned char> out(64 * 1024);
    uLong c = crc32(0L, Z_NULL, 0);
    std::uint64_t total = 0;
    z.next_in = const_cast<unsigned char*>(in.data());
    z.avail_in = uInt(in.size());
    int r = Z_OK;
    while (r == Z_OK) {
        z.next_out = out.data();
        z.avail_out = uInt(out.size());
        r = inflate(&z, Z_NO_FLUSH);
        const std::size_t got = out.size() - z.avail_out;
        c = crc32(c, out.data(), uInt(got));
        total += got;
        if (total > outsize)
            break;  // more than the entry says: no need to inflate a bomb to its end
        if (r == Z_OK && got == 0 && z.avail_in == 0)
            break;  // input ran out before the end of the stream
    }
    inflateEnd(&z);
    return r == Z_STREAM_END && z.avail_in == 0 && total == outsize && std::uint32_t(c) == expected;
}

// Entries of a ZIP up to this much content get their CRCs checked.
constexpr std::uint64_t zipcrclimit = 32u << 20;

}  // namespace

// Proves: the signature, every chunk's length in range and its CRC-32
// right, IHDR first and IEND last, ending exactly at the end of the file.
bool checkpng(bytes d)
{
    if (!startswith(d, "\x89PNG\r\n\x1a\n"))
        return false;
    std::size_t at = 8;
    bool first = true;
    while (d.size() - at >= 12) {
        const std::uint32_t length = be32(d, at);
        if (length > d.size() - at - 12)
            return false;
        const bytes typeanddata = d.subspan(at + 4, 4 + std::size_t(length));
        if (crc(typeanddata) != be32(d, at + 8 + length))
            return false;
        if (first && !matchat(d, at + 4, "IHDR"))
            return false;
        first = false;
        const bool end = matchat(d, at + 4, "IEND");
        at += 12 + std::size_t(length);
        if (end)
            return at == d.size();
    }
    return false;
}

// Proves: the header, the colour tables, every extension and image block
// with its sub-blocks in order, and the trailer as the last byte.
bool checkgif(bytes d)
{
    if (!(startswith(d, "GIF87a") || startswith(d, "GIF89a")) || d.size() < 14)
        return false;
    std::size_t at = 13;
    if (d[10] & 0x80)
        at += 3u << ((d[10] & 7) + 1);
    // Sub-blocks: a length byte, that many bytes, until a zero length.
    const auto skipblocks = [&d](std::size_t& p) {
        while (p < d.size() && d[p] != 0)
            p += 1 + std::size_t(d[p]);
        if (p >= d.size())
            return false;
        ++p;
        return true;
    };
    while (at < d.size()) {
        const unsigned char kind = d[at];
        if (kind == 0x3B)
            return at + 1 == d.size();
        if (kind == 0x21) {  // extension: label, then sub-blocks
            at += 2;
            if (!skipblocks(at))
                return false;
        } else if (kind == 0x2C) {  // image: descriptor, local table, LZW size, data
            if (d.size() - at < 11)
                return false;
            const unsigned char flags = d[at + 9];
            at += 10;
            if (flags & 0x80)
                at += 3u << ((flags & 7) + 1);
            ++at;  // LZW minimum code size
            if (!skipblocks(at))
                return false;
        } else {
            return false;
        }
    }
    return false;
}

// Proves: the file size field equals the file's size, the header sizes
// are known ones and the pixel rows the header describes fit between the
// pixel offset and the end.
bool checkbmp(bytes d)
{
    if (!startswith(d, "BM") || d.size() < 26)
        return false;
    const std::uint32_t filesize = le32(d, 2);
    const std::uint32_t offset = le32(d, 10);
    const std::uint32_t header = le32(d, 14);
    if (filesize != d.size() || offset > d.size() || offset < 14 + header)
        return false;
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    std::uint32_t bits = 0;
    std::uint32_t compression = 0;
    if (header == 12) {
        width = le16(d, 18);
        height = le16(d, 20);
        bits = le16(d, 24);
    } else if (header == 40 || header == 52 || header == 56 || header == 64 || header == 108 || header == 124) {
        if (d.size() < 14 + std::size_t(header))
            return false;
        width = std::uint64_t(std::abs(std::int64_t(std::int32_t(le32(d, 18)))));
        height = std::uint64_t(std::abs(std::int64_t(std::int32_t(le32(d, 22)))));
        bits = le16(d, 28);
        compression = le32(d, 30);
    } else {
        return false;
    }
    if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)
        return false;
    // Compressed pixels (RLE, JPEG, PNG) have no fixed size.
    if (compression != 0 && compression != 3 && compression != 6)
        return true;
    const std::uint64_t row = (width * bits + 31) / 32 * 4;
    // Divided, not multiplied: a hostile height times a wide row wraps.
    return height == 0 || row <= (d.size() - offset) / height;
}

// Proves: the end record closes the file; the central directory lies just
// before it and holds the number of entries it says; each entry's local
// header is where it says, with the same name, and its data ends before
// the central directory; for small archives every entry inflates to its
// size and CRC-32.
bool checkzip(bytes d)
{
    if (d.size() < 22)
        return false;
    std::size_t end = d.size();  // where the end record starts
    for (std::size_t at = d.size() - 22, n = 0; n <= 0xFFFF; --at, ++n) {
        if (le32(d, at) == 0x06054b50 && at + 22 + le16(d, at + 20) == d.size()) {
            end = at;
            break;
        }
        if (at == 0)
            break;
    }
    if (end == d.size())
        return false;
    std::uint64_t count = le16(d, end + 10);
    std::uint64_t cdsize = le32(d, end + 12);
    std::uint64_t cdoffset = le32(d, end + 16);
    std::uint64_t cdend = end;
    if (count == 0xFFFF || cdsize == 0xFFFFFFFF || cdoffset == 0xFFFFFFFF) {
        // ZIP64: a locator just before the end record names the record.
        if (end < 20 || le32(d, end - 20) != 0x07064b50)
            return false;
        const std::uint64_t record = le64(d, end - 12);
        if (record > end - 20 || end - 20 - record < 56 || le32(d, record) != 0x06064b50)
            return false;
        count = le64(d, record + 32);
        cdsize = le64(d, record + 40);
        cdoffset = le64(d, record + 48);
        cdend = record;
    }
    if (cdoffset > cdend || cdend - cdoffset != cdsize)
        return false;
    std::uint64_t total = 0;
    std::size_t at = cdoffset;
    struct ENTRY {
        std::size_t data;
        std::uint64_t csize, usize;
        std::uint32_t crc;
        std::uint16_t method, flags;
    };
    std::vector<ENTRY> entries;
    for (std::uint64_t i = 0; i < count; ++i) {
        if (cdend - at < 46 || le32(d, at) != 0x02014b50)
            return false;
        const std::uint16_t namelen = le16(d, at + 28);
        const std::size_t next = at + 46 + namelen + le16(d, at + 30) + le16(d, at + 32);
        if (next > cdend)
            return false;
        ENTRY e{0, le32(d, at + 20), le32(d, at + 24), le32(d, at + 16), le16(d, at + 10), le16(d, at + 8)};
        const std::uint64_t local = le32(d, at + 42);
        if (local > cdoffset || cdoffset - local < 30 || le32(d, local) != 0x04034b50 ||
            le16(d, local + 26) != namelen || local + 30 + namelen > cdoffset ||
            std::memcmp(d.data() + local + 30, d.data() + at + 46, namelen) != 0)
            return false;
        e.data = local + 30 + namelen + le16(d, local + 28);
        const bool sized = e.csize != 0xFFFFFFFF && e.usize != 0xFFFFFFFF;
        if (e.data > cdoffset || (sized && e.csize > cdoffset - e.data))
            return false;
        total += sized ? e.usize : zipcrclimit;
        if (sized)
            entries.push_back(e);
        at = next;
    }
    if (at != cdend || total > zipcrclimit)
        return true;
    for (const ENTRY& e : entries) {
        if (e.flags & 1)
            continue;  // encrypted
        const bytes body = d.subspan(e.data, std::size_t(e.csize));
        if (e.method == 0 && (e.csize != e.usize || crc(body) != e.crc))
            return false;
        if (e.method == 8 && !inflateraw(body, e.usize, e.crc))
            return false;
    }
    return true;
}

// Proves: every member inflates to its trailer with the right CRC-32 and
// size (zlib checks both), and nothing but zero bytes follows the last.
bool checkgzip(bytes d)
{
    if (!startswith(d, "\x1f\x8b"))
        return false;
    z_stream z{};
    if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK)
        return false;
    std::vector<unsigned char> out(64 * 1024);
    std::size_t at = 0;
    bool ok = false;
    while (at < d.size()) {
        z.next_in = const_cast<unsigned char*>(d.data() + at);
        z.avail_in = uInt(std::min<std::size_t>(d.size() - at, 1u << 30));
        const std::size_t offered = z.avail_in;
        int r = Z_OK;
        do {
            z.next_out = out.data();
            z.avail_out = uInt(out.size());
            r = inflate(&z, Z_NO_FLUSH);
        } while (r == Z_OK && (z.avail_in != 0 || z.avail_out == 0));
        at += offered - z.avail_in;
        if (r == Z_OK && offered != z.avail_in && at < d.size())
            continue;  // the stream goes on past this slice
        if (r != Z_STREAM_END) {
            ok = false;
            break;
        }
        ok = true;
        if (at < d.size() && d[at] != 0x1f) {
            ok = std::all_of(d.begin() + std::ptrdiff_t(at), d.end(), [](unsigned char b) { return b == 0; });
            break;
        }
        inflateReset(&z);
    }
    inflateEnd(&z);
    return ok;
}

// Proves: the header at the start, "%%EOF" in the last kilobyte, and the
// startxref offset before it pointing inside the file at a cross-reference
// table or stream object.
bool checkpdf(bytes d)
{
    if (!startswith(d, "%PDF-"))
        return false;
    const std::string_view text(reinterpret_cast<const char*>(d.data()), d.size());
    const std::size_t tail = d.size() > 1024 ? d.size() - 1024 : 0;
    const std::size_t eof = text.rfind("%%EOF");
    if (eof == std::string_view::npos || eof < tail)
        return false;
    const std::size_t sx = text.rfind("startxref", eof);
    if (sx == std::string_view::npos || eof - sx > 64)
        return false;
    std::size_t p = sx + 9;
    while (p < eof && (text[p] == ' ' || text[p] == '\r' || text[p] == '\n'))
        ++p;
    std::uint64_t offset = 0;
    std::size_t digits = 0;
    for (; p < eof && text[p] >= '0' && text[p] <= '9' && digits < 19; ++p, ++digits)
        offset = offset * 10 + std::uint64_t(text[p] - '0');
    if (digits == 0 || offset >= sx)
        return false;
    const std::string_view at = text.substr(std::size_t(offset), 32);
    if (at.starts_with("xref"))
        return true;
    // A cross-reference stream: "N G obj".
    std::size_t q = 0;
    for (int field = 0; field < 2; ++field) {
        const std::size_t from = q;
        while (q < at.size() && at[q] >= '0' && at[q] <= '9')
            ++q;
        if (q == from || q >= at.size() || at[q] != ' ')
            return false;
        ++q;
    }
    return at.substr(q).starts_with("obj");
}

// Proves: the RIFF size is the file's size less 8, and the chunks inside
// (each padded to an even length) add up to it exactly.
bool checkriff(bytes d)
{
    if (!startswith(d, "RIFF") || d.size() < 12)
        return false;
    const std::uint64_t riffend = std::uint64_t(le32(d, 4)) + 8;
    if (riffend != d.size() && riffend + 1 != d.size())
        return false;
    std::uint64_t at = 12;
    while (at + 8 <= riffend) {
        const std::uint64_t size = le32(d, std::size_t(at) + 4);
        at += 8 + size + (size & 1);
    }
    // The last chunk may go without its pad byte.
    return at == riffend || (at == riffend + 1 && (riffend & 1));
}

// Proves: the top-level boxes, each with a printable type and a size no
// smaller than its header, add up to the file's size, and one of them is
// the movie box.
bool checkmp4(bytes d)
{
    std::uint64_t at = 0;
    bool movie = false;
    while (at < d.size()) {
        if (d.size() - at < 8)
            return false;
        std::uint64_t size = be32(d, std::size_t(at));
        std::uint64_t header = 8;
        if (size == 1) {
            if (d.size() - at < 16)
                return false;
            size = be64(d, std::size_t(at) + 8);
            header = 16;
        } else if (size == 0) {
            size = d.size() - at;
        }
        for (std::size_t i = 4; i < 8; ++i)
            if (d[std::size_t(at) + i] < 0x20 || d[std::size_t(at) + i] > 0x7E)
                if (d[std::size_t(at) + i] != 0xA9)  // the copyright sign of QuickTime types
                    return false;
        if (size < header || size > d.size() - at)
            return false;
        movie = movie || matchat(d, std::size_t(at) + 4, "moov");
        at += size;
    }
    return movie;
}

// Proves: after an optional ID3v2 tag, MPEG audio frames of one version,
// layer and sample rate follow each other exactly to the end of the file
// (or to an ID3v1 tag), at least two of them.
bool checkmp3(bytes d)
{
    std::size_t at = 0;
    if (startswith(d, "ID3") && d.size() >= 10) {
        if ((d[6] | d[7] | d[8] | d[9]) & 0x80)
            return false;
        at = 10 + (std::size_t(d[6]) << 21 | std::size_t(d[7]) << 14 | std::size_t(d[8]) << 7 | d[9]);
        if (d[5] & 0x10)
            at += 10;
    }
    static constexpr int bitrates[2][3][15] = {
        {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
         {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
         {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
        {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
    static constexpr int rates[4][3] = {{11025, 12000, 8000}, {0, 0, 0}, {22050, 24000, 16000}, {44100, 48000, 32000}};
    std::uint32_t firstkey = 0;
    std::size_t frames = 0;
    const std::size_t stop = d.size() >= 128 && matchat(d, d.size() - 128, "TAG") ? d.size() - 128 : d.size();
    while (at < stop) {
        if (stop - at < 4 || d[at] != 0xFF || (d[at + 1] & 0xE0) != 0xE0)
            return false;
        const int version = (d[at + 1] >> 3) & 3;  // 0 MPEG 2.5, 2 MPEG 2, 3 MPEG 1
        const int layer = 4 - ((d[at + 1] >> 1) & 3);
        const int rateindex = d[at + 2] >> 4;
        const int srindex = (d[at + 2] >> 2) & 3;
        if (version == 1 || layer == 4 || rateindex == 0 || rateindex == 15 || srindex == 3)
            return false;
        const std::uint32_t key = std::uint32_t(d[at + 1] & 0xFE) << 8 | std::uint32_t(srindex);
        if (frames == 0)
            firstkey = key;
        else if (key != firstkey)
            return false;
        const int bitrate = bitrates[version == 3 ? 0 : 1][layer - 1][rateindex] * 1000;
        const int samplerate = rates[version][srindex];
        const int padding = (d[at + 2] >> 1) & 1;
        std::size_t length = 0;
        if (layer == 1)
            length = std::size_t((12 * bitrate / samplerate + padding) * 4);
        else if (layer == 3 && version != 3)
            length = std::size_t(72 * bitrate / samplerate + padding);
        else
            length = std::size_t(144 * bitrate / samplerate + padding);
        if (length < 4 || length > stop - at)
            return false;
        at += length;
        ++frames;
    }
    return frames >= 2;
}

// Proves: the compound-file header (signature, byte order, sector sizes),
// every FAT sector it lists lying inside the file, and the chains of the
// directory, the mini FAT and every stream staying inside the file, ending
// properly and long enough for the stream's size.
bool checkole2(bytes d)
{
    if (!startswith(d, "\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1") || d.size() < 512 || le16(d, 28) != 0xFFFE)
        return false;
    const unsigned shift = le16(d, 30);
    if (!((shift == 9 && le16(d, 26) == 3) || (shift == 12 && le16(d, 26) == 4)) || le16(d, 32) != 6)
        return false;
    const std::size_t sector = std::size_t(1) << shift;
    if (d.size() < sector)
        return false;
    const std::uint64_t sectors = (d.size() - sector) / sector;  // the header takes the first
    const auto sectorat = [sector](std::uint64_t s) { return std::size_t((s + 1) * sector); };
    constexpr std::uint32_t endofchain = 0xFFFFFFFE;
    constexpr std::uint32_t freesect = 0xFFFFFFFF;

    // The FAT sectors: 109 in the header, the rest in the DIFAT chain.
    const std::uint32_t fatcount = le32(d, 44);
    if (fatcount > sectors)
        return false;
    std::vector<std::uint32_t> fatsectors;
    for (std::size_t i = 0; i < 109 && fatsectors.size() < fatcount; ++i)
        fatsectors.push_back(le32(d, 76 + 4 * i));
    std::uint32_t difat = le32(d, 68);
    for (std::uint64_t hops = 0; fatsectors.size() < fatcount; ++hops) {
        if (difat >= sectors || hops > sectors)
            return false;
        const std::size_t base = sectorat(difat);
        for (std::size_t i = 0; i + 1 < sector / 4 && fatsectors.size() < fatcount; ++i)
            fatsectors.push_back(le32(d, base + 4 * i));
        difat = le32(d, base + sector - 4);
    }
    std::vector<std::uint32_t> fat;
    fat.reserve(fatsectors.size() * (sector / 4));
    for (const std::uint32_t s : fatsectors) {
        if (s >= sectors)
            return false;
        for (std::size_t i = 0; i < sector / 4; ++i)
            fat.push_back(le32(d, sectorat(s) + 4 * i));
    }
    // A chain from first: every sector inside the file and the FAT, no
    // longer than the file, ending with the end mark; its length in
    // sectors goes to *length. The chains of a sound file share no sector,
    // so all of them together are no longer than the file: more steps mean
    // shared chains, which would make the walk quadratic.
    std::uint64_t stepsleft = 2 * sectors + 16;
    const auto chain = [&](std::uint32_t first, std::uint64_t* length) {
        std::uint64_t n = 0;
        for (std::uint32_t s = first; s != endofchain; s = fat[s]) {
            if (s >= sectors || s >= fat.size() || n > sectors || stepsleft == 0)
                return false;
            --stepsleft;
            ++n;
        }
        *length = n;
        return true;
    };
    std::uint64_t dirsectors = 0;
    const std::uint32_t dirfirst = le32(d, 48);
    if (!chain(dirfirst, &dirsectors) || dirsectors == 0)
        return false;
    std::uint64_t minifatsectors = 0;
    const std::uint32_t minifirst = le32(d, 60);
    if (minifirst != endofchain && !chain(minifirst, &minifatsectors))
        return false;
    const std::uint32_t cutoff = le32(d, 56);
    // Every stream of the directory: big ones through the FAT; the root
    // entry's is the mini stream.
    std::uint64_t steps = 0;
    for (std::uint32_t s = dirfirst; s != endofchain && steps < dirsectors; s = fat[s], ++steps) {
        for (std::size_t e = 0; e < sector / 128; ++e) {
            const std::size_t entry = sectorat(s) + 128 * e;
            const unsigned char type = d[entry + 66];
            if (type != 2 && type != 5)
                continue;
            const std::uint32_t start = le32(d, entry + 116);
            const std::uint64_t size = shift == 9 ? le32(d, entry + 120) : le64(d, entry + 120);
            if ((type == 2 && size < cutoff) || size == 0 || start == endofchain || start == freesect)
                continue;
            std::uint64_t length = 0;
            if (!chain(start, &length) || length * sector < size)
                return false;
        }
    }
    return true;
}

// Proves: no NUL byte and no control character other than tab, line and
// page breaks, escape and the DOS end-of-file mark; and either valid UTF-8
// or a single-byte code page (CP-1252, CP-437 ...) with bytes from 0x80
// up in no more than two thirds of the file (erased flash, all 0xFF, is
// no text).
bool checktext(bytes d)
{
    std::size_t high = 0;
    bool utf8 = true;
    for (std::size_t i = 0; i < d.size(); ++i) {
        const unsigned char c = d[i];
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f' && c != '\v' && c != 0x1A && c != 0x1B)
            return false;
        if (c == 0x7F)
            return false;
        if (c < 0x80)
            continue;
        ++high;
        if (!utf8)
            continue;
        // A lead byte and its continuation bytes; no overlong forms, no
        // surrogates, nothing above U+10FFFF.
        std::size_t more = 0;
        std::uint32_t min = 0;
        std::uint32_t cp = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            more = 1, min = 0x80, cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            more = 2, min = 0x800, cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            more = 3, min = 0x10000, cp = c & 0x07;
        } else {
            utf8 = false;
            continue;
        }
        if (d.size() - i - 1 < more) {
            utf8 = false;
            continue;
        }
        for (std::size_t k = 1; k <= more; ++k) {
            if ((d[i + k] & 0xC0) != 0x80) {
                utf8 = false;
                break;
            }
            cp = cp << 6 | (d[i + k] & 0x3F);
        }
        if (!utf8)
            continue;
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            utf8 = false;
            continue;
        }
        high += more;
        i += more;
    }
    return utf8 || high * 3 <= d.size() * 2;
}

}  // namespace verify
