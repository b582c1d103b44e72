// TIFF and the camera RAW files built on it (CR2, NEF, NRW, ARW, SR2, DNG,
// ORF, RW2, PEF, SRW, 3FR, ERF, IIQ ...): the header and its variants, the
// IFDs it leads to and everything they name.
#include "verify/formats.h"
#include "verify/randombytes.h"

#include <algorithm>
#include <vector>

namespace verify {

namespace {

// Bytes per value of the TIFF field types 1 to 13.
constexpr unsigned typesizes[14] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
// IFDs walked in one file, and sub-IFDs taken from one tag.
constexpr std::size_t mostifds = 256;
constexpr std::uint32_t mostsubifds = 64;
// Previews decoded in one file.
constexpr std::size_t mostjpegs = 8;
// Entries and array values read, per byte of the file and for small files:
// IFDs may share arrays, each of them would be read again.
constexpr std::uint64_t unitsperbyte = 4;
constexpr std::uint64_t fewunits = 1u << 16;
// The largest preview of a file not held whole that is read to be decoded:
// past it the file is unchecked, as the cost of a check is bounded.
constexpr std::uint64_t mostjpegbytes = 16u << 20;
// Structures held before the first sort: past it, those held are sorted,
// the same ones kept once, and the bound doubled.
constexpr std::size_t fewregions = 1u << 16;
// Distinct structures a file may have held: past them it is too costly to
// check, as its memory would grow with its strip count.
constexpr std::size_t mostregions = 1u << 19;

struct REGION {
    std::uint64_t at;
    std::uint64_t length;
    bool operator<(const REGION& o) const { return at < o.at || (at == o.at && length < o.length); }
    bool operator==(const REGION& o) const { return at == o.at && length == o.length; }
};

enum class ifdkind { chain, sub, exif, other, maker };

// No two structures share bytes, unless they are the same: false when
// two do; the regions sorted, each once.
bool disjoint(std::vector<REGION>& regions)
{
    std::sort(regions.begin(), regions.end());
    regions.erase(std::unique(regions.begin(), regions.end()), regions.end());
    std::uint64_t end = 0;
    for (const REGION& g : regions) {
        if (g.at < end)
            return false;
        end = g.at + g.length;
    }
    return true;
}

// Where an IFD's strip or tile arrays lie (held outside their entries).
struct ARRAYS {
    std::uint64_t offsets;
    std::uint64_t lengths;
    std::uint32_t count;
    std::uint32_t types;
    bool decode;
    bool operator==(const ARRAYS& o) const = default;
};

struct PENDING {
    std::uint64_t at;
    ifdkind kind;
    std::uint64_t base = 0;  // what a maker note's offsets count from
    bool big = false;
};

class TIFFWALK {
public:
    TIFFWALK(const RANDOMBYTES& data, bool bigendian, std::string_view variant)
        : d(data), big(bigendian), budget{unitsperbyte * data.size() + fewunits}, cr2(variant == "cr2"),
          rw2(variant == "rw2")
    {
    }

    const RANDOMBYTES& d;
    bool big;
    BUDGET budget;
    bool cr2;
    bool rw2;
    std::vector<REGION> regions;  // IFDs, the values they hold outside, strips and tiles
    std::vector<REGION> jpegs;    // images named as JPEG, which must decode
    std::vector<PENDING> queue;
    std::vector<std::uint64_t> seen;
    std::vector<ARRAYS> walked;  // strip and tile arrays placed already
    std::size_t regionbound = fewregions;
    std::uint64_t want = 0;      // past d: the furthest byte a structure names
    std::uint64_t softend = 0;   // what maker notes name, inside d
    std::uint64_t softwant = 0;  // what maker notes name past d
    bool bad = false;
    bool costly = false;
    std::string make;
    bool dng = false;           // IFD0 holds a DNGVersion
    std::size_t ifdnumber = 0;  // of the chain from the header

    std::uint32_t u16(std::uint64_t at, bool order) const
    {
        return order ? std::uint32_t(d[at]) << 8 | d[at + 1] : std::uint32_t(d[at]) | std::uint32_t(d[at + 1]) << 8;
    }
    std::uint32_t u32(std::uint64_t at, bool order) const
    {
        return order ? u16(at, order) << 16 | u16(at + 2, order) : u16(at, order) | u16(at + 2, order) << 16;
    }
    bool inside(std::uint64_t at, std::uint64_t length) const { return at <= d.size() && length <= d.size() - at; }

    // A structure or the data it names; false when it lies past d.
    bool place(std::uint64_t at, std::uint64_t length)
    {
        if (length == 0)
            return true;
        if (!inside(at, length)) {
            want = std::max(want, at + length);
            return false;
        }
        hold({at, length});
        return true;
    }
    // IFDs that share arrays name the same structures again and again:
    // held once, so that they take memory for the file's bytes, not for
    // the IFDs' entries.
    void hold(REGION g)
    {
        regions.push_back(g);
        if (regions.size() < regionbound)
            return;
        bad = bad || !disjoint(regions);
        costly = costly || regions.size() > mostregions;  // held: at most twice as many
        regionbound = std::max(regionbound, 2 * regions.size());
    }
    // What a maker note names: past d it is no damage, a maker's layout may be misread.
    void soft(std::uint64_t at, std::uint64_t length)
    {
        if (length == 0)
            return;
        if (inside(at, length))
            softend = std::max(softend, at + length);
        else
            softwant = std::max(softwant, at + length);
    }

    void enqueue(std::uint64_t at, ifdkind kind, std::uint64_t base = 0, bool order = false)
    {
        if (std::find(seen.begin(), seen.end(), at + base) != seen.end())
            return;
        if (seen.size() >= mostifds) {
            costly = true;
            return;
        }
        seen.push_back(at + base);
        queue.push_back({at, kind, base, kind == ifdkind::maker ? order : big});
    }

    // The value'th of an array of SHORT or LONG values of an entry at e.
    std::uint64_t element(std::uint64_t e, std::uint32_t type, std::uint32_t count, std::uint32_t index, bool order) const
    {
        const std::uint64_t size = std::uint64_t(count) * typesizes[type];
        const std::uint64_t at = size <= 4 ? e + 8 : u32(e + 8, order);
        return type == 3 ? u16(at + 2 * std::uint64_t(index), order) : u32(at + 4 * std::uint64_t(index), order);
    }

    void walk(std::uint64_t first)
    {
        enqueue(first, ifdkind::chain);
        for (std::size_t i = 0; i < queue.size() && !bad && !costly; ++i)
            readifd(queue[i]);
    }

private:
    struct ENTRY {
        std::uint64_t at = 0;
        std::uint32_t type = 0;
        std::uint32_t count = 0;
    };

    void readifd(const PENDING p);
    void readmaker(std::uint64_t at, std::uint64_t length);
    void pairs(const ENTRY& offsets, const ENTRY& lengths, bool order, bool decode);
};

void TIFFWALK::pairs(const ENTRY& offsets, const ENTRY& lengths, bool order, bool decode)
{
    if (offsets.count == 0 && lengths.count == 0)
        return;
    // Both arrays of SHORT or LONG values, and as many lengths as offsets.
    const auto integer = [](std::uint32_t t) { return t == 3 || t == 4; };
    if (!integer(offsets.type) || !integer(lengths.type) || offsets.count != lengths.count) {
        bad = true;
        return;
    }
    // The arrays themselves lie in d (placed with their entries).
    const auto held = [&](const ENTRY& e) {
        const std::uint64_t size = std::uint64_t(e.count) * typesizes[e.type];
        return size <= 4 || inside(u32(e.at + 8, order), size);
    };
    if (!held(offsets) || !held(lengths))
        return;
    // IFDs that name the same arrays name the same strips: walked once.
    if (offsets.count > 1) {
        const ARRAYS a{u32(offsets.at + 8, order), u32(lengths.at + 8, order), offsets.count,
                       offsets.type << 8 | lengths.type, decode};
        if (std::find(walked.begin(), walked.end(), a) != walked.end())
            return;
        walked.push_back(a);
    }
    if (!budget.spend(offsets.count)) {
        costly = true;
        return;
    }
    // Strips that follow each other without a gap are held as one region:
    // the same bytes, so the same overlaps, in memory for the runs, not
    // for the strips. Those that are decoded are held one by one.
    REGION run{0, 0};
    for (std::uint32_t i = 0; i < offsets.count && !costly; ++i) {
        const std::uint64_t at = element(offsets.at, offsets.type, offsets.count, i, order);
        const std::uint64_t length = element(lengths.at, lengths.type, lengths.count, i, order);
        if (decode) {
            if (place(at, length) && length != 0 && jpegs.size() < mostjpegs)
                jpegs.push_back({at, length});
            continue;
        }
        if (length == 0)
            continue;
        if (run.length != 0 && at == run.at + run.length) {
            run.length += length;
            continue;
        }
        place(run.at, run.length);
        run = {at, length};
    }
    place(run.at, run.length);
}

void TIFFWALK::readifd(const PENDING p)
{
    const bool order = p.big;
    const bool maker = p.kind == ifdkind::maker;
    const std::uint64_t at = p.at + p.base;
    if (!inside(at, 2)) {
        if (maker)
            soft(at, 2);
        else
            want = std::max(want, at + 2);
        return;
    }
    const std::uint32_t n = u16(at, order);
    const std::uint64_t length = 2 + 12 * std::uint64_t(n) + 4;
    if (n == 0 || p.at < 8) {
        bad = bad || !maker;
        return;
    }
    if (maker) {
        if (!inside(at, length - 4))
            return;
    } else if (!place(at, length)) {
        return;
    }
    if (!budget.spend(n)) {
        costly = true;
        return;
    }
    ENTRY strips[2], tiles[2], jpeg[2], subifds, rw2jpeg;
    std::uint32_t compression = 0, photometric = 0;
    bool tables = false;
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint64_t e = at + 2 + 12 * std::uint64_t(i);
        const std::uint32_t tag = u16(e, order);
        const std::uint32_t type = u16(e + 2, order);
        const std::uint32_t count = u32(e + 4, order);
        if (type == 0 || type > 13) {
            // A maker's own IFD may not be one: leave it.
            if (maker)
                return;
            bad = true;
            return;
        }
        const std::uint64_t size = std::uint64_t(count) * typesizes[type];
        const std::uint64_t value = u32(e + 8, order);
        if (size > 4) {
            if (maker)
                soft(value + p.base, size);
            else if (!place(value, size))
                continue;
        }
        const ENTRY entry{e, type, count};
        const bool one = count == 1 && (type == 3 || type == 4 || type == 13);
        const std::uint64_t single = one ? (type == 3 ? u16(e + 8, order) : value) : 0;
        switch (tag) {
        case 259:
            compression = one ? std::uint32_t(single) : 0;
            break;
        case 262:
            photometric = one ? std::uint32_t(single) : 0;
            break;
        case 273:
            strips[0] = entry;
            break;
        case 279:
            strips[1] = entry;
            break;
        case 324:
            tiles[0] = entry;
            break;
        case 325:
            tiles[1] = entry;
            break;
        case 347:
            tables = true;
            break;
        case 513:
            jpeg[0] = entry;
            break;
        case 514:
            jpeg[1] = entry;
            break;
        case 330:
            subifds = entry;
            break;
        case 0x2e:
            rw2jpeg = entry;
            break;
        case 50706:
            dng = dng || (p.kind == ifdkind::chain && ifdnumber == 0);
            break;
        case 271:
            if (type == 2 && !maker && inside(size > 4 ? value : e + 8, size)) {
                std::vector<unsigned char> scratch;
                const bytes name = d.view(size > 4 ? value : e + 8, std::size_t(std::min<std::uint64_t>(size, 32)), scratch);
                make.assign(reinterpret_cast<const char*>(name.data()), name.size());
            }
            break;
        case 34665:
        case 34853:
        case 40965:
            if (one && !maker)
                enqueue(single, ifdkind::exif);
            break;
        case 37500:
            if (!maker && size > 4 && inside(value, size))
                readmaker(value, size);
            break;
        case 0x11:  // Nikon's preview IFD
        case 0x2010:  // Olympus' equipment, camera settings ... IFDs
        case 0x2020:
        case 0x2030:
        case 0x2040:
        case 0x2050:
            if (maker && one)
                enqueue(single, ifdkind::maker, p.base, order);
            break;
        default:
            break;
        }
    }
    if (maker) {
        // Preview and thumbnail pointers: JPEG interchange format, and
        // Olympus' preview start and length.
        for (std::uint32_t i = 0; i < n; ++i) {
            const std::uint64_t e = at + 2 + 12 * std::uint64_t(i);
            const std::uint32_t tag = u16(e, order);
            if ((tag == 0x201 || tag == 0x101) && i + 1 < n && u16(e + 12, order) == tag + 1 &&
                u32(e + 4, order) == 1 && u32(e + 16, order) == 1)
                soft(u32(e + 8, order) + p.base, u32(e + 20, order));
        }
        return;
    }
    // Images that are JPEG streams of their own: JPEG interchange format,
    // a CR2's first image, an RW2's embedded JPEG, and JPEG strips or
    // tiles of YCbCr previews (a DNG's) that carry their own tables.
    const bool jpegstrips = (cr2 && p.kind == ifdkind::chain && ifdnumber == 0) ||
                            (compression == 7 && photometric == 6 && !tables);
    pairs(strips[0], strips[1], order, jpegstrips);
    pairs(tiles[0], tiles[1], order, jpegstrips);
    if (jpeg[0].count != 0 || jpeg[1].count != 0) {
        if (jpeg[0].count != 1 || jpeg[1].count != 1) {
            bad = true;
            return;
        }
        const std::uint64_t offset = element(jpeg[0].at, jpeg[0].type, 1, 0, order);
        const std::uint64_t size = element(jpeg[1].at, jpeg[1].type, 1, 0, order);
        // Old-style JPEG TIFFs name the strips' stream once more: only
        // without strips does it count among the structures.
        const bool own = strips[0].count == 0 && tiles[0].count == 0;
        if (size != 0 && inside(offset, size)) {
            if (own)
                hold({offset, size});
            if (jpegs.size() < mostjpegs)
                jpegs.push_back({offset, size});
        } else if (size != 0) {
            want = std::max(want, offset + size);
        }
    }
    if (rw2 && rw2jpeg.count > 4 && rw2jpeg.type == 7 && jpegs.size() < mostjpegs &&
        inside(u32(rw2jpeg.at + 8, order), rw2jpeg.count))
        jpegs.push_back({u32(rw2jpeg.at + 8, order), rw2jpeg.count});
    if (subifds.count != 0 && (subifds.type == 4 || subifds.type == 13)) {
        const std::uint32_t count = std::min(subifds.count, mostsubifds);
        const std::uint64_t array = subifds.count == 1 ? subifds.at + 8 : u32(subifds.at + 8, order);
        if (inside(array, 4 * std::uint64_t(count)))
            for (std::uint32_t i = 0; i < count; ++i)
                enqueue(u32(array + 4 * std::uint64_t(i), order), ifdkind::sub);
    }
    if (p.kind == ifdkind::chain || p.kind == ifdkind::sub) {
        const std::uint64_t next = u32(at + 2 + 12 * std::uint64_t(n), order);
        if (p.kind == ifdkind::chain)
            ++ifdnumber;
        if (next != 0)
            enqueue(next, p.kind);
    }
}

void TIFFWALK::readmaker(std::uint64_t at, std::uint64_t length)
{
    // The makers' own headers before their IFD, in its first 18 bytes:
    // where it lies and what its offsets count from.
    std::vector<unsigned char> scratch;
    const bytes m = d.view(at, std::size_t(std::min<std::uint64_t>(length, 18)), scratch);
    if (matchat(m, 0, "Nikon\0") && length >= 18 && (matchat(m, 10, "II") || matchat(m, 10, "MM"))) {
        const bool order = m[10] == 'M';
        enqueue(u32(at + 14, order), ifdkind::maker, at + 10, order);
    } else if (matchat(m, 0, "OLYMPUS\0") && length >= 12 && (matchat(m, 8, "II") || matchat(m, 8, "MM"))) {
        enqueue(12, ifdkind::maker, at, m[8] == 'M');
    } else if (matchat(m, 0, "OLYMP\0") || matchat(m, 0, "SONY DSC ") || matchat(m, 0, "Panasonic\0")) {
        enqueue(at + (m[0] == 'O' ? 8 : 12), ifdkind::maker, 0, big);
    } else if (matchat(m, 0, "AOC\0") && length >= 6) {
        enqueue(at + 6, ifdkind::maker, 0, big);
    } else if (make.rfind("Canon", 0) == 0) {
        enqueue(at, ifdkind::maker, 0, big);
    }
}

struct TIFFSTART {
    bool ok = false;
    bool big = false;
    std::string_view variant;
};

TIFFSTART tiffheader(bytes d)
{
    if (d.size() < 8)
        return {};
    const bool little = matchat(d, 0, "II");
    if (!little && !matchat(d, 0, "MM"))
        return {};
    TIFFSTART s{true, !little, "tif"};
    const std::uint32_t magic = little ? le16(d, 2) : std::uint32_t(d[2]) << 8 | d[3];
    if (magic == 42) {
        if (little && matchat(d, 8, "CR\x02"))
            s.variant = "cr2";
        else if (little && matchat(d, 8, "IIII"))
            s.variant = "iiq";
    } else if (magic == 0x55 && little) {
        s.variant = "rw2";
    } else if (matchat(d, 0, "IIRO") || matchat(d, 0, "IIRS") || matchat(d, 0, "MMOR")) {
        s.variant = "orf";
    } else {
        return {};
    }
    return s;
}

struct TIFFRESULT {
    FINDING found;
    std::string_view variant;
    std::string make;
    bool dng = false;
};

// The whole walk; a verified finding's end the furthest byte that any
// structure names, and want what lies past d.
TIFFRESULT walktiff(const RANDOMBYTES& d, bool decode)
{
    std::vector<unsigned char> scratch;
    const bytes head = d.view(0, std::size_t(std::min<std::uint64_t>(d.size(), 16)), scratch);
    const TIFFSTART s = tiffheader(head);
    if (!s.ok)
        return {damagedat(), {}, {}, false};
    TIFFWALK w(d, s.big, s.variant);
    const std::uint64_t first = s.big ? be32(head, 4) : le32(head, 4);
    w.regions.push_back({0, 8});
    w.walk(first);
    TIFFRESULT r{{}, s.variant, w.make, w.dng};
    if (d.failed()) {
        r.found = damagedat();
        return r;
    }
    if (w.costly) {
        r.found = toocostly();
        return r;
    }
    if (w.bad) {
        r.found = damagedat();
        return r;
    }
    if (w.want != 0) {
        r.found = shortof(std::size_t(std::max<std::uint64_t>(w.want, d.size() + 1)));
        return r;
    }
    if (!disjoint(w.regions)) {
        r.found = damagedat();
        return r;
    }
    if (w.regions.size() > mostregions) {
        r.found = toocostly();
        return r;
    }
    std::uint64_t end = w.regions.empty() ? 0 : w.regions.back().at + w.regions.back().length;
    // Each preview decoded once; previews named over and over again, or
    // over each other, would cost a decode of the file each.
    std::sort(w.jpegs.begin(), w.jpegs.end());
    w.jpegs.erase(std::unique(w.jpegs.begin(), w.jpegs.end()), w.jpegs.end());
    std::uint64_t decoded = 0;
    for (const REGION& j : w.jpegs)
        decoded += j.length;
    if (decode && decoded > 2 * std::uint64_t(d.size())) {
        r.found = toocostly();
        return r;
    }
    for (const REGION& j : w.jpegs) {
        end = std::max(end, j.at + j.length);
        if (!decode)
            continue;
        if (!d.inmemory() && j.length > mostjpegbytes) {
            r.found = toocostly();
            return r;
        }
        const bytes preview = d.view(j.at, std::size_t(j.length), scratch);
        if (d.failed() || check(family::jpeg, preview) != verdict::verified) {
            r.found = damagedat();
            return r;
        }
    }
    end = std::max(end, w.softend);
    r.found = endsat(std::size_t(end));
    if (w.softwant != 0)
        r.found.want = std::size_t(std::max<std::uint64_t>(w.softwant, d.size() + 1));
    return r;
}

}  // namespace

// Shorter heads than a header are damaged whatever they begin with.
bool tiffstart(bytes head) { return head.size() < 8 || tiffheader(head).ok; }

// Proves: a TIFF header (or a RAW variant's), every IFD it leads to (the
// chain, sub-IFDs, the EXIF, GPS and interoperability IFDs) with entries of
// known types, every value held outside its entry, every strip and tile
// lying in the file, no two of them sharing bytes, and each image stored
// as a JPEG stream of its own (previews, thumbnails) decoding.
FINDING readtiff(const RANDOMBYTES& d)
{
    const FINDING f = walktiff(d, true).found;
    return f.v == verdict::verified ? endsat(std::size_t(d.size())) : f.want != 0 ? damagedat() : f;
}

FINDING readtiff(bytes d) { return readtiff(RANDOMBYTES(d)); }

// Where the walk's furthest byte lies: a RAW file ends with its last
// strip, its last IFD or its last value. Structures past the bytes there
// are ask for them.
// The previews are decoded once the end is known, by check().
FINDING tiffextent(const RANDOMBYTES& d) { return walktiff(d, false).found; }

FINDING tiffextent(bytes d) { return tiffextent(RANDOMBYTES(d)); }

std::string tiffkind(bytes d)
{
    const TIFFRESULT r = walktiff(RANDOMBYTES(d), false);
    if (r.dng)
        return "dng";
    if (r.variant != "tif")
        return std::string(r.variant);
    const std::string& make = r.make;
    const auto by = [&make](std::string_view m) { return make.rfind(m, 0) == 0; };
    if (by("NIKON"))
        return "nef";
    if (by("SONY"))
        return "arw";
    if (by("PENTAX") || by("RICOH"))
        return "pef";
    if (by("SAMSUNG"))
        return "srw";
    if (by("Hasselblad"))
        return "3fr";
    if (by("SEIKO EPSON"))
        return "erf";
    return "tif";
}

}  // namespace verify
