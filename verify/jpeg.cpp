// JPEG: a full decode by libjpeg-turbo, within a budget of blocks that the
// file's size sets, and the structures that may follow the EOI.
#include "verify/formats.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <jerror.h>
#include <jpeglib.h>

namespace verify {

namespace {

// The memory libjpeg may take for one image; an image that needs more (a
// multi-scan one keeps 128 bytes per block) is refused as too costly.
constexpr long jpegmemory = 192L << 20;

// The work a JPEG check may do, in units of about 10 ns: a block decoded
// in a scan or in the output pass costs one, a block of a multi-scan
// file's coefficient memory ten (128 bytes, zeroed and faulted in as the
// first scan reaches them: 70 to 95 ns measured), setting up the decoder
// of a further image after the EOI 2000. A progressive file can name a
// huge image, or many scans, in a few bytes (an end-of-block run covers up
// to 32,767 blocks). Ten units per byte keep a check near 0.1 s per MiB. A
// sound photo costs one unit per block (baseline) to about twenty
// (progressive: memory, ten scans, output) and holds 2 to 20 bytes per
// block, so it stays within; the floor lets small files of large, plain
// images through.
constexpr std::uint64_t unitsperbyte = 10;
constexpr std::uint64_t fewunits = 2u << 20;
constexpr std::uint64_t memoryunits = 10;
constexpr std::uint64_t imageunits = 2000;

struct STRICTERROR {
    jpeg_error_mgr mgr;
    std::jmp_buf back;
    BUDGET* budget = nullptr;
    bool costly = false;  // stopped by the budget or the memory limit
    bool output = false;  // in the output pass, which charges its own rows
    bool truncated = false;  // the data ended before the image did
};

STRICTERROR& errorof(j_common_ptr info) { return *reinterpret_cast<STRICTERROR*>(info->err); }

[[noreturn]] void fail(j_common_ptr info)
{
    STRICTERROR& e = errorof(info);
    if (e.mgr.msg_code == JERR_NO_BACKING_STORE || e.mgr.msg_code == JERR_OUT_OF_MEMORY)
        e.costly = true;
    std::longjmp(e.back, 1);
}

// A warning is what libjpeg says of corrupt entropy data, a premature end,
// stray bytes before a marker or a scan that breaks the progression; it
// then goes on with made-up data, so the first one ends the decode. Three
// are about header fields that change nothing in the decoded data and that
// sound files from real encoders carry: a JFIF version above 1 (2.01), an
// Adobe transform code it does not know, and odd SOS fields in a sequential
// scan.
void note(j_common_ptr info, int level)
{
    if (level >= 0)
        return;  // trace messages
    const int code = errorof(info).mgr.msg_code;
    if (code == JWRN_JFIF_MAJOR || code == JWRN_ADOBE_XFORM || code == JWRN_NOT_SEQUENTIAL)
        return;
    if (code == JWRN_JPEG_EOF)
        errorof(info).truncated = true;
    std::longjmp(errorof(info).back, 1);
}

void quiet(j_common_ptr) {}

// Called by libjpeg before each row of MCUs it reads from a multi-scan
// file: charges the blocks of that row of the current scan.
void progress(j_common_ptr common)
{
    STRICTERROR& e = errorof(common);
    if (e.output)
        return;
    const auto* info = reinterpret_cast<j_decompress_ptr>(common);
    std::uint64_t blocks = std::uint64_t(info->MCUs_per_row) * std::uint64_t(info->blocks_in_MCU);
    // A scan of one component reads v_samp_factor rows of blocks per call.
    if (info->comps_in_scan == 1 && info->cur_comp_info[0])
        blocks *= std::uint64_t(info->cur_comp_info[0]->v_samp_factor);
    if (!e.budget->spend(blocks + 1)) {
        e.costly = true;
        std::longjmp(e.back, 1);
    }
}

// The blocks of all components of the frame.
std::uint64_t frameblocks(const jpeg_decompress_struct& info)
{
    std::uint64_t blocks = 0;
    for (int c = 0; c < info.num_components; ++c)
        blocks += std::uint64_t(info.comp_info[c].width_in_blocks) * info.comp_info[c].height_in_blocks;
    return blocks;
}

// A Samsung trailer at the end of d (after the images): "SEFT" as the last
// four bytes, after the length of its directory, which starts "SEFH" with
// a count of 12-byte entries, each naming a block that lies before the
// directory (the distance back from it, and a length). The offset where
// the trailer's first block starts; d.size() when there is no such trailer.
std::size_t samsungtrailer(bytes d, std::size_t from)
{
    if (d.size() - from < 16 || !matchat(d, d.size() - 4, "SEFT"))
        return d.size();
    const std::uint64_t length = le32(d, d.size() - 8);
    if (length < 12 || length > d.size() - 8 - from)
        return d.size();
    const std::size_t directory = d.size() - 8 - std::size_t(length);
    const std::uint32_t count = le32(d, directory + 8);
    if (!matchat(d, directory, "SEFH") || count == 0 || count > (length - 12) / 12)
        return d.size();
    std::size_t first = directory;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::size_t entry = directory + 12 + 12 * std::size_t(i);
        const std::uint64_t back = le32(d, entry + 4);
        const std::uint64_t size = le32(d, entry + 8);
        if (back > directory - from || size > back)
            return d.size();
        first = std::min(first, directory - std::size_t(back));
    }
    return first;
}

// Where a Samsung trailer whose first block begins at from ends, when d
// goes on past it (the clusters after a carved photo): a block's header
// (two zero bytes, its type, the length of its name and a printable name)
// at from, then a directory "SEFH" whose entries' count leaves room for
// them before the directory's length and "SEFT", which samsungtrailer
// then holds to blocks starting at from. 0 when there is none in d;
// *more when a block begins at from but d ends before its directory.
std::size_t samsungtrailerend(bytes d, std::size_t from, bool* more)
{
    *more = false;
    if (d.size() - from < 8 || d[from] != 0 || d[from + 1] != 0)
        return 0;
    const std::uint32_t namelength = le32(d, from + 4);
    if (namelength == 0 || namelength > 64 || d.size() - from - 8 < namelength)
        return 0;
    for (std::size_t i = 0; i < namelength; ++i)
        if (d[from + 8 + i] < 0x20 || d[from + 8 + i] > 0x7E)
            return 0;
    // Each directory tried looks at a bounded span after it: one pass over d.
    constexpr std::size_t slack = 64;
    for (std::size_t p = from + 8 + namelength; p < d.size();) {
        p = findfrom(d, p, "SEFH");
        if (p == d.size())
            break;
        if (d.size() - p < 12)
            break;
        const std::uint64_t least = 12 + 12 * std::uint64_t(le32(d, p + 8));
        for (std::uint64_t length = least; length <= least + slack && length + 8 <= d.size() - p; ++length) {
            const std::size_t end = p + std::size_t(length) + 8;
            if (le32(d, end - 8) == length && matchat(d, end - 4, "SEFT") && samsungtrailer(d.first(end), from) == from)
                return end;
        }
        ++p;
    }
    *more = true;
    return 0;
}

// What the markers of the image at the start of d say, from its SOI to
// its EOI: whether its scans' restart markers number on modulo 8 and add
// up, with the frame's size and the restart interval of its DRI, to its
// MCUs; whether a multiple of align (past its first byte) falls where the
// decoder starts afresh (the first byte of a scan's data, or from the
// first fill byte before a restart marker to just past it); the frame's
// size and the TIFF data of its Exif segment.
struct SCANWALK {
    bool sound = true;
    bool seam = false;
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    bytes exif;
    std::size_t end = 0;  // just past the first image's EOI; 0 when none
};

// One pass over the bytes.
SCANWALK walkscans(bytes d, std::size_t align)
{
    SCANWALK w;
    // A multiple of align (past the first byte) within [from, to].
    const auto seamin = [align](std::size_t from, std::size_t to) {
        return align != 0 && to / align != 0 && to / align * align >= from;
    };
    struct COMPONENT {
        unsigned id = 0, h = 1, v = 1;
    };
    COMPONENT components[4];
    unsigned count = 0;
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    bool countable = false;  // a DCT frame whose MCUs are counted
    std::uint64_t interval = 0;
    std::size_t p = 2;
    if (d.size() < 4 || d[0] != 0xFF || d[1] != 0xD8)
        return w;
    while (p < d.size()) {
        if (d[p] != 0xFF)
            return w;
        while (p < d.size() && d[p] == 0xFF)
            ++p;
        if (p >= d.size())
            return w;
        const unsigned char marker = d[p++];
        if (marker == 0xD9) {
            w.end = p;
            return w;
        }
        if ((marker >= 0xD0 && marker <= 0xD7) || marker == 0x01)
            continue;
        if (d.size() - p < 2)
            return w;
        const std::size_t length = std::size_t(d[p]) << 8 | d[p + 1];
        if (length < 2 || d.size() - p < length)
            return w;
        const bytes segment = d.subspan(p + 2, length - 2);
        p += length;
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
            if (segment.size() < 6)
                return w;
            height = std::uint64_t(segment[1]) << 8 | segment[2];
            width = std::uint64_t(segment[3]) << 8 | segment[4];
            w.width = width;
            w.height = height;
            count = segment[5];
            if (count == 0 || count > 4 || segment.size() < 6 + 3 * std::size_t(count))
                return w;
            for (unsigned c = 0; c < count; ++c) {
                components[c].id = segment[6 + 3 * c];
                components[c].h = segment[7 + 3 * c] >> 4;
                components[c].v = segment[7 + 3 * c] & 15;
                if (components[c].h == 0 || components[c].v == 0)
                    return w;
            }
            // Sequential and progressive DCT frames; lossless and
            // hierarchical ones count their units otherwise.
            countable = marker == 0xC0 || marker == 0xC1 || marker == 0xC2 || marker == 0xC9 || marker == 0xCA;
        } else if (marker == 0xE1 && w.exif.empty() && startswith(segment, std::string_view("Exif\0\0", 6))) {
            w.exif = segment.subspan(6);
        } else if (marker == 0xDD) {
            if (segment.size() < 2)
                return w;
            interval = std::uint64_t(segment[0]) << 8 | segment[1];
        } else if (marker == 0xDA) {
            if (segment.empty() || segment.size() < 1 + 2 * std::size_t(segment[0]))
                return w;
            if (seamin(p, p))
                w.seam = true;
            std::uint64_t restarts = 0;
            // The entropy-coded data: stuffed 0xFF 0x00 pairs, restart
            // markers (with fill before them), then the next marker.
            while (true) {
                const std::size_t q = findfrom(d, p, std::string_view("\xFF", 1));
                if (q == d.size())
                    return w;
                std::size_t t = q + 1;
                while (t < d.size() && d[t] == 0xFF)
                    ++t;
                if (t == d.size())
                    return w;
                if (d[t] == 0x00) {
                    p = t + 1;
                    continue;
                }
                if (d[t] < 0xD0 || d[t] > 0xD7) {
                    p = q;
                    break;
                }
                if (d[t] - 0xD0u != restarts % 8)
                    w.sound = false;
                ++restarts;
                // The decoder starts afresh after the marker: bytes of
                // another file from here on decode as well.
                if (seamin(q, t + 1))
                    w.seam = true;
                p = t + 1;
            }
            if (restarts != 0 && interval == 0)
                w.sound = false;
            if (countable && interval != 0 && width != 0 && height != 0) {
                // The scan's MCUs: of the frame when interleaved, of its
                // one component's blocks when not.
                unsigned hmax = 1, vmax = 1;
                for (unsigned c = 0; c < count; ++c) {
                    hmax = std::max(hmax, components[c].h);
                    vmax = std::max(vmax, components[c].v);
                }
                std::uint64_t mcus = 0;
                if (segment[0] == 1) {
                    const COMPONENT* one = nullptr;
                    for (unsigned c = 0; c < count; ++c)
                        if (components[c].id == segment[1])
                            one = &components[c];
                    if (!one)
                        continue;
                    const std::uint64_t cw = (width * one->h + hmax - 1) / hmax;
                    const std::uint64_t ch = (height * one->v + vmax - 1) / vmax;
                    mcus = ((cw + 7) / 8) * ((ch + 7) / 8);
                } else {
                    mcus = ((width + 8 * hmax - 1) / (8 * hmax)) * ((height + 8 * vmax - 1) / (8 * vmax));
                }
                // An encoder may end the last interval with a marker too.
                const std::uint64_t intervals = (mcus + interval - 1) / interval;
                if (restarts + 1 != intervals && restarts != intervals)
                    w.sound = false;
            }
        }
    }
    return w;
}

// Exif's facts of the main image in a JPEG's APP1 segment: the
// PixelXDimension and PixelYDimension of its Exif IFD, and the thumbnail
// IFD1 names; each absent (0, empty) when the segment does not hold it.
struct EXIFFACTS {
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    bytes thumbnail;
};

EXIFFACTS exiffacts(bytes tiff)
{
    EXIFFACTS facts;
    if (tiff.size() < 8 || !((tiff[0] == 'I' && tiff[1] == 'I') || (tiff[0] == 'M' && tiff[1] == 'M')))
        return facts;
    const bool big = tiff[0] == 'M';
    const auto u16 = [&](std::size_t at) {
        return big ? std::uint32_t(tiff[at]) << 8 | tiff[at + 1] : std::uint32_t(le16(tiff, at));
    };
    const auto u32 = [&](std::size_t at) { return big ? be32(tiff, at) : le32(tiff, at); };
    // The value of a SHORT or LONG entry tag of the IFD at ifd (0 when absent).
    const auto value = [&](std::uint64_t ifd, std::uint32_t tag) -> std::uint64_t {
        if (ifd < 8 || ifd + 2 > tiff.size())
            return 0;
        const std::uint32_t entries = u16(std::size_t(ifd));
        if ((tiff.size() - ifd - 2) / 12 < entries)
            return 0;
        for (std::uint32_t i = 0; i < entries; ++i) {
            const std::size_t e = std::size_t(ifd) + 2 + 12 * std::size_t(i);
            if (u16(e) != tag || u32(e + 4) != 1)
                continue;
            const std::uint32_t type = u16(e + 2);
            return type == 3 ? u16(e + 8) : type == 4 ? u32(e + 8) : 0;
        }
        return 0;
    };
    const std::uint64_t ifd0 = u32(4);
    const std::uint64_t sub = value(ifd0, 0x8769);
    facts.width = value(sub, 0xA002);
    facts.height = value(sub, 0xA003);
    if (ifd0 < 8 || ifd0 + 2 > tiff.size())
        return facts;
    const std::uint64_t next = ifd0 + 2 + 12 * std::uint64_t(u16(std::size_t(ifd0)));
    if (next + 4 > tiff.size())
        return facts;
    const std::uint64_t ifd1 = u32(std::size_t(next));
    const std::uint64_t at = value(ifd1, 0x0201);
    const std::uint64_t length = value(ifd1, 0x0202);
    if (at != 0 && length != 0 && at <= tiff.size() && tiff.size() - at >= length)
        facts.thumbnail = tiff.subspan(std::size_t(at), std::size_t(length));
    return facts;
}

// Proves: every marker, table and scan decodes through the EOI without a
// warning that means damage, restart markers numbering on and adding up
// to the frame's MCUs (walkscans); reports where the EOI ends.
FINDING readjpegimage(bytes data, BUDGET& budget)
{
    if (data.size() < 4 || data[0] != 0xFF || data[1] != 0xD8)
        return damagedat();
    jpeg_decompress_struct info;
    STRICTERROR error;
    error.budget = &budget;
    info.err = jpeg_std_error(&error.mgr);
    error.mgr.error_exit = fail;
    error.mgr.emit_message = note;
    error.mgr.output_message = quiet;
    jpeg_progress_mgr monitor{};
    monitor.progress_monitor = progress;
    // Kept out of the locals that setjmp could leave stale.
    volatile std::size_t end = 0;
    jpeg_create_decompress(&info);
    info.mem->max_memory_to_use = jpegmemory;
    info.progress = &monitor;
    if (setjmp(error.back) == 0) {
        jpeg_mem_src(&info, data.data(), static_cast<unsigned long>(data.size()));
        if (jpeg_read_header(&info, TRUE) == JPEG_HEADER_OK) {
            // An eighth of the size: every coefficient is still entropy
            // decoded (which is where damage shows), the inverse transform
            // is the cheap one.
            info.scale_num = 1;
            info.scale_denom = 8;
            info.dct_method = JDCT_IFAST;
            info.do_fancy_upsampling = FALSE;
            info.do_block_smoothing = FALSE;
            jpeg_calc_output_dimensions(&info);
            // The output pass decodes (one scan) or transforms (several)
            // every block once, a share of them per row.
            const std::uint64_t blocks = frameblocks(info);
            const std::uint64_t perrow = blocks / (info.output_height ? info.output_height : 1) + 1;
            if (jpeg_has_multiple_scans(&info) &&
                (blocks > std::uint64_t(jpegmemory) / 128 || !budget.spend(memoryunits * blocks))) {
                error.costly = true;
                std::longjmp(error.back, 1);
            }
            jpeg_start_decompress(&info);
            error.output = true;
            const JDIMENSION rowbytes = info.output_width * JDIMENSION(info.output_components);
            JSAMPARRAY row = (*info.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&info), JPOOL_IMAGE,
                                                      rowbytes == 0 ? 1 : rowbytes, 1);
            while (info.output_scanline < info.output_height) {
                if (!budget.spend(perrow)) {
                    error.costly = true;
                    std::longjmp(error.back, 1);
                }
                jpeg_read_scanlines(&info, row, 1);
            }
            jpeg_finish_decompress(&info);
            end = data.size() - info.src->bytes_in_buffer;
        }
    }
    jpeg_destroy_decompress(&info);
    if (error.costly)
        return toocostly();
    if (error.truncated)
        return shortof(data.size() + 1);
    if (end == 0 || !walkscans(data.first(end), 0).sound)
        return damagedat();
    return endsat(end);
}

}  // namespace

// Proves: the image decodes (readjpegimage), and whatever follows its EOI
// up to the end reported is a run of structures known to follow one:
// further JPEG images (MPF previews, a gain map), an MP4 movie (a Motion
// Photo), a ZIP archive appended whole (appendedzip) and a Samsung trailer
// (which holds such a movie) last. A ZIP whose end record lies past the
// bytes there are leaves the end at the image's, wanting more.
FINDING readjpeg(bytes d, std::size_t align, RECALL* recall)
{
    BUDGET budget{unitsperbyte * std::uint64_t(d.size()) + fewunits};
    FINDING first;
    // The decode depends on the bytes up to its EOI alone, and charges the
    // same work whatever follows: what it cost is charged again, so that
    // a budget too small for it still refuses.
    if (recall && recall->at == d.data() && recall->end != 0 && recall->end <= d.size()) {
        first = budget.spend(recall->spent) ? endsat(recall->end) : toocostly();
    } else {
        const std::uint64_t before = budget.left;
        first = readjpegimage(d, budget);
        if (recall && first.v == verdict::verified)
            *recall = RECALL{d.data(), first.end, before - budget.left};
    }
    if (first.v != verdict::verified)
        return first;
    std::size_t at = first.end;
    const std::size_t samsung = samsungtrailer(d, at);
    // Each step takes at least one whole image or box.
    while (at < samsung) {
        const bytes rest = d.subspan(at, samsung - at);
        if (align != 0 && at % align == 0)
            break;
        if (rest.size() >= 3 && rest[0] == 0xFF && rest[1] == 0xD8 && rest[2] == 0xFF) {
            // Setting up a decoder costs more than a few blocks: many tiny
            // images must not add up to more than the budget.
            if (!budget.spend(imageunits))
                return toocostly();
            const FINDING next = readjpegimage(rest, budget);
            if (next.v == verdict::unchecked)
                return next;
            if (next.want != 0)
                return shortof(std::max(at + next.want, d.size() + 1));
            if (next.v != verdict::verified)
                break;
            at += next.end;
        } else if (rest.size() >= 4 && le32(rest, 0) == 0x04034B50) {
            const FINDING zip = appendedzip(rest);
            if (zip.want != 0)
                return {verdict::verified, at, std::max(at + zip.want, d.size() + 1)};
            if (zip.v != verdict::verified)
                break;
            at += zip.end;
        } else if (matchat(rest, 4, "ftyp")) {
            const BOXWALK movie = walkboxes(rest);
            if (!movie.movie)
                break;
            at += movie.end;
        } else {
            break;
        }
    }
    if (at != samsung && samsung == d.size()) {
        bool more = false;
        if (const std::size_t end = samsungtrailerend(d, at, &more))
            return endsat(end);
        if (more)
            return {verdict::verified, at, d.size() + 1};
    }
    return endsat(at == samsung ? d.size() : at);
}

bool jpegonefile(bytes d, std::size_t align)
{
    const SCANWALK w = walkscans(d, align);
    if (w.seam)
        return false;
    // What follows the image (previews, a motion photo's movie, a maker's
    // trailer) is not proven by the image's decode: a cluster of it could be
    // another file's. An appended ZIP is, by its CRCs.
    if (w.end != 0 && w.end < d.size() && align != 0 && (d.size() - 1) / align * align >= w.end &&
        !startswith(d.subspan(w.end), std::string_view("PK\x03\x04", 4)))
        return false;
    const EXIFFACTS facts = exiffacts(w.exif);
    if ((facts.width != 0 && facts.width != w.width) || (facts.height != 0 && facts.height != w.height))
        return false;
    if (facts.thumbnail.empty())
        return true;
    BUDGET budget{unitsperbyte * std::uint64_t(facts.thumbnail.size()) + fewunits};
    return readjpegimage(facts.thumbnail, budget).v == verdict::verified;
}

}  // namespace verify
