// The structural checks of the images, documents and text. Every walk over
// the bytes advances by at least one byte per step, so the file's size
// bounds it.
#include "verify/formats.h"
#include "verify/randombytes.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

namespace verify {

// Proves: the signature, every chunk's length in range and its CRC-32
// right, IHDR first and IEND last; reports where IEND ends.
FINDING readpng(bytes d)
{
    if (!startswith(d, "\x89PNG\r\n\x1a\n"))
        return damagedat();
    std::size_t at = 8;
    bool first = true;
    // The chunk's header is judged before its length is held against the
    // bytes there are: junk is damaged, not short.
    while (d.size() - at >= 8) {
        const std::uint32_t length = be32(d, at);
        for (std::size_t i = 4; i < 8; ++i)
            if (!((d[at + i] >= 'A' && d[at + i] <= 'Z') || (d[at + i] >= 'a' && d[at + i] <= 'z')))
                return damagedat();
        if (first && (!matchat(d, at + 4, "IHDR") || length != 13))
            return damagedat();
        if (length > 0x7FFFFFFFu)
            return damagedat();
        if (length > d.size() - at - 8 || d.size() - at - 8 - length < 4)
            return shortof(at + 12 + std::size_t(length));
        const bytes typeanddata = d.subspan(at + 4, 4 + std::size_t(length));
        if (crc32of(typeanddata) != be32(d, at + 8 + length))
            return damagedat();
        first = false;
        const bool end = matchat(d, at + 4, "IEND");
        at += 12 + std::size_t(length);
        if (end)
            return endsat(at);
    }
    return shortof(at + 12);
}

// Proves: the header, the colour tables, every extension and image block
// with its sub-blocks in order up to the trailer, and at least one image
// of some width and height, with an LZW code size a GIF can have (a header
// and a trailer alone are 14 bytes any junk can hold); reports where it
// ends.
FINDING readgif(bytes d)
{
    if (!(startswith(d, "GIF87a") || startswith(d, "GIF89a")) || d.size() < 14)
        return damagedat();
    std::size_t at = 13;
    if (d[10] & 0x80)
        at += 3u << ((d[10] & 7) + 1);
    // Sub-blocks: a length byte, that many bytes, until a zero length.
    bool ran = false;  // the data ended inside the blocks
    const auto skipblocks = [&d, &ran](std::size_t& p) {
        while (p < d.size() && d[p] != 0)
            p += 1 + std::size_t(d[p]);
        if (p >= d.size()) {
            ran = true;
            return false;
        }
        ++p;
        return true;
    };
    bool image = false;
    while (at < d.size()) {
        const unsigned char kind = d[at];
        if (kind == 0x3B)
            return image ? endsat(at + 1) : damagedat();
        if (kind == 0x21) {  // extension: label, then sub-blocks
            at += 2;
            if (!skipblocks(at))
                return ran ? shortof(d.size() + 1) : damagedat();
        } else if (kind == 0x2C) {  // image: descriptor, local table, LZW size, data
            if (d.size() - at < 11)
                return shortof(at + 11);
            const unsigned char flags = d[at + 9];
            if (le16(d, at + 5) == 0 || le16(d, at + 7) == 0)
                return damagedat();
            at += 10;
            if (flags & 0x80)
                at += 3u << ((flags & 7) + 1);
            if (at >= d.size())
                return shortof(at + 1);
            if (d[at] == 0 || d[at] > 8)
                return damagedat();
            image = true;
            ++at;  // LZW minimum code size
            if (!skipblocks(at))
                return ran ? shortof(d.size() + 1) : damagedat();
        } else {
            return damagedat();
        }
    }
    return shortof(at + 1);
}

// Proves: the file size field within the bytes there are, the header
// sizes known ones and the pixel rows the header describes fitting between
// the pixel offset and that size; reports the size field as the end.
FINDING readbmp(bytes d)
{
    if (!startswith(d, "BM") || d.size() < 26)
        return damagedat();
    const std::uint32_t filesize = le32(d, 2);
    const std::uint32_t headersize = le32(d, 14);
    if (filesize < 26 ||
        !(headersize == 12 || headersize == 40 || headersize == 52 || headersize == 56 || headersize == 64 ||
          headersize == 108 || headersize == 124))
        return damagedat();
    if (filesize > d.size())
        return shortof(filesize);
    d = d.first(filesize);
    const std::uint32_t offset = le32(d, 10);
    const std::uint32_t header = le32(d, 14);
    if (offset > d.size() || offset < 14 + header)
        return damagedat();
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
            return damagedat();
        width = std::uint64_t(std::abs(std::int64_t(std::int32_t(le32(d, 18)))));
        height = std::uint64_t(std::abs(std::int64_t(std::int32_t(le32(d, 22)))));
        bits = le16(d, 28);
        compression = le32(d, 30);
    } else {
        return damagedat();
    }
    if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)
        return damagedat();
    // Compressed pixels (RLE, JPEG, PNG) have no fixed size.
    if (compression != 0 && compression != 3 && compression != 6)
        return endsat(d.size());
    const std::uint64_t row = (width * bits + 31) / 32 * 4;
    // Divided, not multiplied: a hostile height times a wide row wraps.
    return ifwhole(height == 0 || row <= (d.size() - offset) / height, d);
}

// Proves: the header at the start, "%%EOF" in the last kilobyte, and the
// startxref offset before it pointing inside the file at a cross-reference
// table or stream object. Reads the last kilobyte and the bytes the offset
// points at.
bool wholepdf(const RANDOMBYTES& d)
{
    if (!d.match(0, "%PDF-"))
        return false;
    // The "%%EOF" in the last kilobyte, and startxref at most 64 bytes before it.
    const std::uint64_t lo = d.size() > 1024 + 64 ? d.size() - 1024 - 64 : 0;
    std::vector<unsigned char> scratch;
    const bytes last = d.view(lo, std::size_t(d.size() - lo), scratch);
    const std::string_view text(reinterpret_cast<const char*>(last.data()), last.size());
    const std::size_t tail = d.size() > 1024 ? std::size_t(d.size() - 1024 - lo) : 0;
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
    if (digits == 0 || offset >= lo + sx)
        return false;
    std::vector<unsigned char> pointed;
    const bytes target = d.view(offset, std::size_t(std::min<std::uint64_t>(32, d.size() - offset)), pointed);
    const std::string_view at(reinterpret_cast<const char*>(target.data()), target.size());
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

FINDING readpdf(bytes d) { return ifwhole(wholepdf(RANDOMBYTES(d)), d); }

namespace {

// An incremental update begins at p: an object ("N G obj") or a
// cross-reference table.
bool updatebegins(const RANDOMBYTES& d, std::uint64_t p)
{
    if (d.match(p, "xref"))
        return true;
    for (int field = 0; field < 2; ++field) {
        const std::uint64_t from = p;
        while (p < d.size() && p - from < 10 && d[p] >= '0' && d[p] <= '9')
            ++p;
        if (p == from || p >= d.size() || d[p] != ' ')
            return false;
        ++p;
    }
    return d.match(p, "obj");
}

}  // namespace

// Each "%%EOF" (with its end of line) ends the file unless an incremental
// update begins after it; one pass over the bytes however many there are.
// An end at the last bytes there are may go on (want).
FINDING pdfextent(const RANDOMBYTES& d) { return pdfextent(d, nullptr); }

FINDING pdfextent(const RANDOMBYTES& d, std::uint64_t* unmarked)
{
    if (!d.match(0, "%PDF-"))
        return damagedat();
    const std::uint64_t size = d.size();
    for (std::uint64_t from = unmarked ? std::clamp<std::uint64_t>(*unmarked, 5, size) : 5;;) {
        const std::uint64_t eof = d.find("%%EOF", from);
        if (unmarked && !d.failed()) {
            *unmarked = std::max(*unmarked, eof);
            unmarked = nullptr;
        }
        if (eof == size)
            return shortof(std::size_t(size) + 1);
        std::uint64_t after = eof + 5;
        if (after < size && d[after] == '\r')
            ++after;
        if (after < size && d[after] == '\n')
            ++after;
        std::uint64_t p = after;
        while (p < size && p - after < 64 && (d[p] == ' ' || d[p] == '\r' || d[p] == '\n' || d[p] == '\t'))
            ++p;
        if (p >= size)
            return {verdict::verified, std::size_t(after), std::size_t(size) + 1};
        if (!updatebegins(d, p))
            return endsat(std::size_t(after));
        from = p;
    }
}

FINDING pdfextent(bytes d) { return pdfextent(RANDOMBYTES(d)); }

// Proves: the compound-file header (signature, byte order, sector sizes),
// every FAT sector it lists lying inside the file, and the chains of the
// directory, the mini FAT and every stream staying inside the file, ending
// properly and long enough for the stream's size. The FAT is read where
// the chains lead, not held.
bool wholeole2(const RANDOMBYTES& d)
{
    if (!d.match(0, "\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1") || d.size() < 512 || d.le16(28) != 0xFFFE)
        return false;
    const unsigned shift = d.le16(30);
    if (!((shift == 9 && d.le16(26) == 3) || (shift == 12 && d.le16(26) == 4)) || d.le16(32) != 6)
        return false;
    const std::size_t sector = std::size_t(1) << shift;
    if (d.size() < sector)
        return false;
    const std::uint64_t sectors = (d.size() - sector) / sector;  // the header takes the first
    const auto sectorat = [sector](std::uint64_t s) { return (s + 1) * sector; };
    constexpr std::uint32_t endofchain = 0xFFFFFFFE;
    constexpr std::uint32_t freesect = 0xFFFFFFFF;

    // The FAT sectors: 109 in the header, the rest in the DIFAT chain.
    const std::uint32_t fatcount = d.le32(44);
    if (fatcount > sectors)
        return false;
    std::vector<std::uint32_t> fatsectors;
    for (std::size_t i = 0; i < 109 && fatsectors.size() < fatcount; ++i)
        fatsectors.push_back(d.le32(76 + 4 * i));
    std::uint32_t difat = d.le32(68);
    for (std::uint64_t hops = 0; fatsectors.size() < fatcount; ++hops) {
        if (difat >= sectors || hops > sectors)
            return false;
        const std::uint64_t base = sectorat(difat);
        for (std::size_t i = 0; i + 1 < sector / 4 && fatsectors.size() < fatcount; ++i)
            fatsectors.push_back(d.le32(base + 4 * i));
        difat = d.le32(base + sector - 4);
    }
    for (const std::uint32_t s : fatsectors)
        if (s >= sectors)
            return false;
    const std::uint64_t perfat = sector / 4;
    const std::uint64_t fatsize = fatsectors.size() * perfat;
    const auto fat = [&](std::uint64_t s) {
        return d.le32(sectorat(fatsectors[std::size_t(s / perfat)]) + 4 * (s % perfat));
    };
    // A chain from first: every sector inside the file and the FAT, no
    // longer than the file, ending with the end mark; its length in
    // sectors goes to *length. The chains of a sound file share no sector,
    // so all of them together are no longer than the file: more steps mean
    // shared chains, which would make the walk quadratic.
    std::uint64_t stepsleft = 2 * sectors + 16;
    const auto chain = [&](std::uint32_t first, std::uint64_t* length) {
        std::uint64_t n = 0;
        for (std::uint32_t s = first; s != endofchain; s = fat(s)) {
            if (s >= sectors || s >= fatsize || n > sectors || stepsleft == 0)
                return false;
            --stepsleft;
            ++n;
        }
        *length = n;
        return true;
    };
    std::uint64_t dirsectors = 0;
    const std::uint32_t dirfirst = d.le32(48);
    if (!chain(dirfirst, &dirsectors) || dirsectors == 0)
        return false;
    std::uint64_t minifatsectors = 0;
    const std::uint32_t minifirst = d.le32(60);
    if (minifirst != endofchain && !chain(minifirst, &minifatsectors))
        return false;
    const std::uint32_t cutoff = d.le32(56);
    // Every stream of the directory: big ones through the FAT; the root
    // entry's is the mini stream.
    std::uint64_t steps = 0;
    for (std::uint32_t s = dirfirst; s != endofchain && steps < dirsectors; s = fat(s), ++steps) {
        for (std::size_t e = 0; e < sector / 128; ++e) {
            const std::uint64_t entry = sectorat(s) + 128 * e;
            const unsigned char type = d[entry + 66];
            if (type != 2 && type != 5)
                continue;
            const std::uint32_t start = d.le32(entry + 116);
            const std::uint64_t size = shift == 9 ? d.le32(entry + 120) : d.le64(entry + 120);
            if ((type == 2 && size < cutoff) || size == 0 || start == endofchain || start == freesect)
                continue;
            std::uint64_t length = 0;
            if (!chain(start, &length) || length * sector < size)
                return false;
        }
    }
    return true;
}

FINDING readole2(bytes d) { return ifwhole(wholeole2(RANDOMBYTES(d)), d); }

// The header's FAT sectors (109 in it, the rest along the DIFAT chain),
// then the FAT: the file ends with the last sector the FAT does not call
// free, or with a FAT or DIFAT sector lying past it.
FINDING ole2extent(const RANDOMBYTES& d)
{
    if (!d.match(0, "\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1"))
        return damagedat();
    if (d.size() < 512)
        return shortof(512);
    const unsigned shift = d.le16(30);
    if (d.le16(28) != 0xFFFE || !((shift == 9 && d.le16(26) == 3) || (shift == 12 && d.le16(26) == 4)) ||
        d.le16(32) != 6)
        return damagedat();
    const std::size_t sector = std::size_t(1) << shift;
    if (d.size() < sector)
        return shortof(sector);
    // No file of up to 4 GiB needs more FAT sectors than this.
    const std::uint32_t fatcount = d.le32(44);
    if (fatcount > (std::uint64_t(1) << 32) / sector / (sector / 4) + 1)
        return damagedat();
    const std::uint64_t entries = std::uint64_t(fatcount) * (sector / 4);
    const auto sectorend = [sector](std::uint64_t s) { return (s + 2) * sector; };
    constexpr std::uint32_t freesect = 0xFFFFFFFF;
    std::vector<std::uint32_t> fatsectors;
    for (std::size_t i = 0; i < 109 && fatsectors.size() < fatcount; ++i)
        fatsectors.push_back(d.le32(76 + 4 * i));
    std::uint64_t last = 0;  // the highest sector index the file holds
    std::uint32_t difat = d.le32(68);
    // Each DIFAT sector adds sector / 4 - 1 entries: the chain is no longer than that.
    for (std::uint64_t hops = 0; fatsectors.size() < fatcount; ++hops) {
        if (difat >= entries || hops > fatcount)
            return damagedat();
        if (sectorend(difat) > d.size())
            return shortof(std::size_t(sectorend(difat)));
        last = std::max<std::uint64_t>(last, difat);
        const std::uint64_t base = sectorend(difat) - sector;
        for (std::size_t i = 0; i + 1 < sector / 4 && fatsectors.size() < fatcount; ++i)
            fatsectors.push_back(d.le32(base + 4 * i));
        difat = d.le32(base + sector - 4);
    }
    for (const std::uint32_t s : fatsectors) {
        if (s >= entries)
            return damagedat();
        if (sectorend(s) > d.size())
            return shortof(std::size_t(sectorend(s)));
        last = std::max<std::uint64_t>(last, s);
    }
    // In the order they lie in the file: read on demand, each page once.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> byplace;  // sector, index in the FAT
    byplace.reserve(fatsectors.size());
    for (std::size_t k = 0; k < fatsectors.size(); ++k)
        byplace.emplace_back(fatsectors[k], std::uint32_t(k));
    std::sort(byplace.begin(), byplace.end());
    for (const auto& [s, k] : byplace) {
        const std::uint64_t base = sectorend(s) - sector;
        for (std::size_t i = 0; i < sector / 4; ++i)
            if (d.le32(base + 4 * i) != freesect)
                last = std::max<std::uint64_t>(last, std::uint64_t(k) * (sector / 4) + i);
    }
    const std::uint64_t end = sectorend(last);
    if (end > d.size())
        return shortof(std::size_t(end));
    return endsat(std::size_t(end));
}

FINDING ole2extent(bytes d) { return ole2extent(RANDOMBYTES(d)); }

namespace {

// A control character that no text holds: below the space other than tab,
// line and page breaks, escape and the DOS end-of-file mark; and DEL.
bool controlchar(std::uint32_t c)
{
    return (c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f' && c != '\v' && c != 0x1A && c != 0x1B) ||
           c == 0x7F;
}

// UTF-16 after its byte order mark: whole code units, surrogates in pairs,
// no control characters.
bool wholeutf16(bytes d, bool bigendian)
{
    if (d.size() % 2 != 0)
        return false;
    const auto unit = [d, bigendian](std::size_t at) {
        return bigendian ? std::uint32_t(d[at] << 8 | d[at + 1]) : std::uint32_t(le16(d, at));
    };
    for (std::size_t at = 2; at < d.size(); at += 2) {
        const std::uint32_t u = unit(at);
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (d.size() - at < 4 || unit(at + 2) < 0xDC00 || unit(at + 2) > 0xDFFF)
                return false;
            at += 2;
        } else if ((u >= 0xDC00 && u <= 0xDFFF) || controlchar(u)) {
            return false;
        }
    }
    return true;
}

}  // namespace

// Proves: no NUL byte and no control character other than tab, line and
// page breaks, escape and the DOS end-of-file mark; and either valid UTF-8
// or a single-byte code page (CP-1252, CP-437 ...) with bytes from 0x80
// up in no more than two thirds of the file (erased flash, all 0xFF, is
// no text). UTF-16 when it starts with a byte order mark.
bool wholetext(bytes d)
{
    if (startswith(d, "\xFF\xFE") || startswith(d, "\xFE\xFF"))
        return wholeutf16(d, d[0] == 0xFE);
    std::size_t high = 0;
    bool utf8 = true;
    for (std::size_t i = 0; i < d.size(); ++i) {
        const unsigned char c = d[i];
        if (controlchar(c))
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

FINDING readtext(bytes d) { return ifwhole(wholetext(d), d); }

bool textstart(bytes head)
{
    if (startswith(head, "\xFF\xFE") || startswith(head, "\xFE\xFF")) {
        for (std::size_t at = 2; at + 2 <= head.size(); at += 2)
            if (controlchar(head[0] == 0xFE ? std::uint32_t(head[at] << 8 | head[at + 1]) : std::uint32_t(le16(head, at))))
                return false;
        return true;
    }
    return std::none_of(head.begin(), head.end(), [](unsigned char c) { return controlchar(c); });
}

}  // namespace verify
