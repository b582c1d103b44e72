#include "carve/jpegfragments.h"

#include "verify/verify.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <set>
#include <utility>

#include <jerror.h>
#include <jpeglib.h>

namespace carve {

namespace {

// Bounds per file: the next piece begins at most maxgap clusters past the
// last one; at most maxpieces pieces and maxbytes bytes; at most maxdecodes
// whole decodes, each of which may move the search back to the piece where
// the decode broke (a marker that numbered on by chance).
constexpr std::uint64_t maxgap = 1024;
constexpr std::size_t maxpieces = 1024;
constexpr std::uint64_t maxbytes = 64u << 20;
constexpr int maxdecodes = 16;
// The headers, up to the first scan's data, lie in the first piece.
constexpr std::uint64_t maxheaderclusters = 256;
// Candidates are read in stretches of this many clusters.
constexpr std::uint64_t readahead = 32;

// Where the entropy-coded data stands at a cluster's end.
struct SCAN {
    unsigned next = 0;      // the number the next restart marker must carry
    bool ff = false;        // the last byte was 0xFF
    std::uint64_t end = 0;  // just past the EOI, once met
};

enum class PIECE { numbered, unmarked, broken };

// One cluster's bytes (at offset in the file) fed to s: broken when a
// marker other than the next restart marker or the EOI turns up, unmarked
// when it holds no restart marker (nor, unless spliced, the EOI).
PIECE feed(SCAN& s, const unsigned char* p, std::size_t n, std::uint64_t offset, bool spliced)
{
    unsigned restarts = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char b = p[i];
        if (!s.ff) {
            s.ff = b == 0xFF;
            continue;
        }
        if (b == 0xFF)
            continue;  // fill
        s.ff = false;
        if (b == 0x00)
            continue;
        if (b >= 0xD0 && b <= 0xD7) {
            if (unsigned(b - 0xD0) != s.next)
                return PIECE::broken;
            s.next = (s.next + 1) % 8;
            ++restarts;
            continue;
        }
        if (b != 0xD9)
            return PIECE::broken;
        s.end = offset + i + 1;
        return restarts != 0 || !spliced ? PIECE::numbered : PIECE::unmarked;
    }
    return restarts != 0 ? PIECE::numbered : PIECE::unmarked;
}

// Where the first scan's data begins, when the headers before it name a
// sequential DCT frame and a restart interval; 0 otherwise or when d ends first.
std::size_t scandata(const std::vector<unsigned char>& d)
{
    if (d.size() < 4 || d[0] != 0xFF || d[1] != 0xD8)
        return 0;
    bool sequential = false;
    bool restarts = false;
    std::size_t p = 2;
    while (p + 4 <= d.size()) {
        if (d[p] != 0xFF)
            return 0;
        const unsigned char marker = d[p + 1];
        if (marker == 0xFF) {
            ++p;
            continue;
        }
        const std::size_t length = std::size_t(d[p + 2]) << 8 | d[p + 3];
        if (length < 2 || d.size() - p - 2 < length)
            return 0;
        if (marker == 0xC0 || marker == 0xC1)
            sequential = true;
        else if ((marker >= 0xC2 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) ||
                 marker == 0xD9)
            return 0;
        if (marker == 0xDD && length >= 4 && (d[p + 4] != 0 || d[p + 5] != 0))
            restarts = true;
        p += 2 + length;
        if (marker == 0xDA)
            return sequential && restarts ? p : 0;
    }
    return 0;
}

struct PROBE {
    jpeg_error_mgr mgr;  // first: libjpeg hands it back
    std::jmp_buf back;
    jpeg_decompress_struct* info = nullptr;
    std::uint64_t broke = ~std::uint64_t(0);  // the bytes the decoder had taken when it broke
    std::uint64_t size = 0;
};

PROBE& probeof(j_common_ptr info) { return *reinterpret_cast<PROBE*>(info->err); }

void stop(j_common_ptr info)
{
    PROBE& p = probeof(info);
    if (p.info && p.info->src)
        p.broke = p.size - p.info->src->bytes_in_buffer;
    else
        p.broke = 0;
    std::longjmp(p.back, 1);
}

void warned(j_common_ptr info, int level)
{
    if (level >= 0)
        return;
    const int code = info->err->msg_code;
    // Header fields that change nothing in the decoded data.
    if (code == JWRN_JFIF_MAJOR || code == JWRN_ADOBE_XFORM || code == JWRN_NOT_SEQUENTIAL)
        return;
    stop(info);
}

void silent(j_common_ptr) {}

// The bytes of d the decoder had taken where its decode broke (an eighth of
// the size: every coefficient is still entropy decoded); d.size() when it
// decodes through its EOI.
std::uint64_t decodes(const std::vector<unsigned char>& d)
{
    jpeg_decompress_struct info;
    PROBE probe;
    probe.size = d.size();
    info.err = jpeg_std_error(&probe.mgr);
    probe.mgr.error_exit = stop;
    probe.mgr.emit_message = warned;
    probe.mgr.output_message = silent;
    volatile bool whole = false, created = false;
    // Set before the decoder is made: making it may fail (no memory) too.
    if (setjmp(probe.back) == 0) {
        jpeg_create_decompress(&info);
        created = true;
        probe.info = &info;
        info.mem->max_memory_to_use = 64L << 20;
        jpeg_mem_src(&info, d.data(), static_cast<unsigned long>(d.size()));
        if (jpeg_read_header(&info, TRUE) == JPEG_HEADER_OK) {
            info.scale_num = 1;
            info.scale_denom = 8;
            info.dct_method = JDCT_IFAST;
            info.do_fancy_upsampling = FALSE;
            jpeg_start_decompress(&info);
            const JDIMENSION rowbytes = info.output_width * JDIMENSION(info.output_components);
            JSAMPARRAY row = (*info.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&info), JPOOL_IMAGE,
                                                      rowbytes == 0 ? 1 : rowbytes, 1);
            while (info.output_scanline < info.output_height)
                jpeg_read_scanlines(&info, row, 1);
            jpeg_finish_decompress(&info);
            whole = true;
        }
    }
    if (created)
        jpeg_destroy_decompress(&info);
    return whole ? d.size() : std::min<std::uint64_t>(probe.broke, d.size());
}

class SPLICER {
public:
    SPLICER(const JPEGCLUSTERS& clusters, std::uint64_t first) : from(clusters), start(first) {}

    std::optional<SPLICEDJPEG> run();
    std::uint64_t spent = 0;

private:
    bool readcluster(std::uint64_t lcn, unsigned char* to);
    bool header();
    // Pieces the file on from its last cluster, nearest first, until its
    // EOI (ended), a dead end or a bound.
    enum class GROWTH { ended, deadend, bound };
    GROWTH extend();
    std::size_t runcount() const;
    void truncate(std::size_t clusters);

    const JPEGCLUSTERS& from;
    const std::uint64_t start;
    const std::uint64_t cs = from.clustersize;
    std::vector<std::uint64_t> lcns;  // the file's clusters in order
    std::vector<SCAN> after;          // the scan's state after each of them
    std::vector<unsigned char> data;
    std::size_t headclusters = 0;
    std::set<std::pair<std::size_t, std::uint64_t>> refused;  // (place in the file, cluster)
    // The stretch read ahead of the search.
    std::uint64_t stretchat = 0, stretchlength = 0;
    std::vector<unsigned char> stretch;
};

bool SPLICER::readcluster(std::uint64_t lcn, unsigned char* to)
{
    if (lcn < stretchat || lcn >= stretchat + stretchlength) {
        std::uint64_t n = 0;
        // A stretch stays within 4 MiB, whatever the cluster size.
        const std::uint64_t most = std::max<std::uint64_t>(1, std::min<std::uint64_t>(readahead, (4u << 20) / cs));
        while (n < most && lcn + n < from.clusters && from.eligible(lcn + n))
            ++n;
        if (n == 0)
            return false;
        stretch.resize(std::size_t(n * cs));
        spent += n * cs;
        if (!from.read(lcn, n, stretch.data())) {
            // One that cannot be read whole is read a cluster at a time.
            stretchlength = 0;
            spent += cs;
            return from.read(lcn, 1, to);
        }
        stretchat = lcn;
        stretchlength = n;
    }
    std::copy_n(stretch.data() + (lcn - stretchat) * cs, cs, to);
    return true;
}

bool SPLICER::header()
{
    std::size_t at = 0;
    for (std::uint64_t lcn = start; lcn < from.clusters && lcns.size() < maxheaderclusters && from.eligible(lcn);
         ++lcn) {
        if (data.size() + cs > maxbytes)
            return false;
        data.resize(data.size() + cs);
        if (!readcluster(lcn, data.data() + data.size() - cs))
            return false;
        lcns.push_back(lcn);
        after.push_back(SCAN{});
        if ((at = scandata(data)) != 0)
            break;
    }
    if (at == 0)
        return false;
    SCAN s;
    if (feed(s, data.data() + at, data.size() - at, at, false) == PIECE::broken)
        return false;
    after.back() = s;
    headclusters = lcns.size();
    return true;
}

std::size_t SPLICER::runcount() const
{
    std::size_t runs = lcns.empty() ? 0 : 1;
    for (std::size_t i = 1; i < lcns.size(); ++i)
        runs += lcns[i] != lcns[i - 1] + 1;
    return runs;
}

void SPLICER::truncate(std::size_t clusters)
{
    lcns.resize(clusters);
    after.resize(clusters);
    data.resize(clusters * cs);
}

SPLICER::GROWTH SPLICER::extend()
{
    std::size_t runs = runcount();
    std::vector<unsigned char> one(cs);
    while (after.back().end == 0) {
        if (data.size() + cs > maxbytes)
            return GROWTH::bound;
        const std::uint64_t last = lcns.back();
        const std::size_t place = lcns.size();
        bool found = false;
        for (std::uint64_t c = last + 1; c < from.clusters && c - last <= maxgap + 1; ++c) {
            if (!from.eligible(c) || refused.count({place, c}) || !readcluster(c, one.data()))
                continue;
            const bool spliced = c != last + 1;
            if (spliced && runs == maxpieces)
                return GROWTH::bound;
            SCAN s = after.back();
            if (feed(s, one.data(), cs, data.size(), spliced) != PIECE::numbered)
                continue;
            data.insert(data.end(), one.begin(), one.end());
            lcns.push_back(c);
            after.push_back(s);
            runs += spliced;
            found = true;
            break;
        }
        if (!found)
            return GROWTH::deadend;
    }
    return GROWTH::ended;
}

std::optional<SPLICEDJPEG> SPLICER::run()
{
    if (cs == 0 || !header())
        return std::nullopt;
    for (int decode = 0; decode < maxdecodes; ++decode) {
        // A file longer than the bounds stays longer whatever piece is
        // refused: no decode is spent on it.
        const GROWTH growth = extend();
        if (growth == GROWTH::bound)
            return std::nullopt;
        const bool ended = growth == GROWTH::ended;
        // Where the decode breaks: the piece there numbered on by chance,
        // or the file ends before its EOI.
        const std::uint64_t size = ended ? after.back().end : data.size();
        std::vector<unsigned char> file(data.begin(), data.begin() + std::ptrdiff_t(size));
        const std::uint64_t broke = decodes(file);
        spent += file.size();
        if (ended && broke == size) {
            if (runcount() < 2 ||
                verify::check(verify::family::jpeg, verify::bytes(file.data(), file.size()), std::uint32_t(cs)) !=
                    verify::verdict::verified)
                return std::nullopt;
            SPLICEDJPEG out;
            for (std::size_t vcn = 0; vcn < lcns.size(); ++vcn) {
                if (!out.runs.empty() && out.runs.back().lcn + out.runs.back().length == lcns[vcn])
                    ++out.runs.back().length;
                else
                    out.runs.push_back(DATARUN{lcns[vcn], 1, vcn});
            }
            out.data = std::move(file);
            return out;
        }
        // The decoder breaks a few bytes past where the foreign bytes
        // begin: the cluster it broke in is refused there.
        const std::size_t place = std::size_t(std::min<std::uint64_t>(broke, size ? size - 1 : 0) / cs);
        if (place < headclusters || place >= lcns.size())
            return std::nullopt;
        refused.insert({place, lcns[place]});
        truncate(place);
    }
    return std::nullopt;
}

}  // namespace

std::optional<SPLICEDJPEG> splicejpeg(const JPEGCLUSTERS& from, std::uint64_t start, std::uint64_t* spent)
{
    SPLICER splicer(from, start);
    std::optional<SPLICEDJPEG> found = splicer.run();
    *spent = splicer.spent;
    return found;
}

}  // namespace carve
