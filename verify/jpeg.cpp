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

// Proves: every marker, table and scan decodes through the EOI without a
// warning that means damage; reports where the EOI ends.
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
    return end != 0 ? endsat(end) : damagedat();
}

}  // namespace

// Proves: the image decodes (readjpegimage), and whatever follows its EOI
// up to the end reported is a run of structures known to follow one:
// further JPEG images (MPF previews, a gain map), an MP4 movie (a Motion
// Photo) and a Samsung trailer (which holds such a movie) last.
FINDING readjpeg(bytes d, std::size_t align)
{
    BUDGET budget{unitsperbyte * std::uint64_t(d.size()) + fewunits};
    const FINDING first = readjpegimage(d, budget);
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

}  // namespace verify
