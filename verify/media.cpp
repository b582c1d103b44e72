// The structural checks of the audio and video containers: RIFF (WAV, AVI,
// WebP), ISO base media (MP4, MOV, 3GP, HEIF, AVIF) and MPEG audio.
#include "verify/formats.h"

#include <algorithm>
#include <cstring>

namespace verify {

// Proves: each RIFF part's size is followed by chunks (each padded to an
// even length) that add up to it exactly; after the first part only
// OpenDML's "RIFF AVIX" parts of an AVI follow. Reports where the last
// part ends (its pad byte may be missing at the end of the file).
namespace {

// The walks below read a file through get(at, n): n bytes from offset at,
// at + n no more than the file's length; nullptr when they cannot be read.
// Over bytes in memory, or over a file too large to hold, read by its
// headers alone. headreader gives their n bytes at at, empty past the end
// or where get cannot read them.
template <class GET>
auto headreader(std::uint64_t length, GET& get)
{
    return [length, &get](std::uint64_t at, std::size_t n) {
        const unsigned char* p = at + n <= length ? get(at, n) : nullptr;
        return p ? bytes(p, n) : bytes();
    };
}

template <class GET>
FINDING riffwalk(std::uint64_t length, GET get)
{
    const auto head = headreader(length, get);
    const bytes first = head(0, 12);
    if (first.empty() || !startswith(first, "RIFF"))
        return damagedat();
    const bool avi = matchat(first, 8, "AVI ");
    std::uint64_t part = 0;
    std::uint64_t partsize = le32(first, 4);
    // Each part takes at least 12 bytes.
    while (true) {
        const std::uint64_t partend = part + 8 + partsize;
        if (partend > length)
            return shortof(std::size_t(partend));
        std::uint64_t at = part + 12;
        while (at + 8 <= partend) {
            const bytes chunk = head(at, 8);
            if (chunk.empty())
                return damagedat();
            const std::uint64_t size = le32(chunk, 4);
            at += 8 + size + (size & 1);
        }
        // The last chunk's pad byte may lie past an odd part size.
        if (at != partend && !(at == partend + 1 && (partend & 1)))
            return damagedat();
        const std::uint64_t next = std::min<std::uint64_t>(partend + (partend & 1), length);
        // An AVI that ends with the bytes there are may go on in a further part.
        if (avi && length - next < 12)
            return {verdict::verified, std::size_t(next), std::size_t(next) + 12};
        const bytes further = avi ? head(next, 12) : bytes();
        if (further.empty() || !startswith(further, "RIFF") || !matchat(further, 8, "AVIX"))
            return endsat(std::size_t(next));
        part = next;
        partsize = le32(further, 4);
    }
}

}  // namespace

// Proves: each RIFF part's size is followed by chunks (each padded to an
// even length) that add up to it exactly; after the first part only
// OpenDML's "RIFF AVIX" parts of an AVI follow. Reports where the last
// part ends (its pad byte may be missing at the end of the file).
FINDING readriff(bytes d)
{
    return riffwalk(d.size(), [d](std::uint64_t at, std::size_t) { return d.data() + at; });
}

bool boxtype(const unsigned char* type)
{
    for (int i = 0; i < 4; ++i)
        if ((type[i] < 0x20 || type[i] > 0x7E) && type[i] != 0xA9)  // the copyright sign of QuickTime types
            return false;
    return true;
}

namespace {

// The ftyp box's brands name a HEIF or AVIF image, whose top box is meta,
// not moov.
bool imagebrands(bytes box)
{
    static constexpr std::string_view images[] = {"mif1", "msf1", "heic", "heix", "heim", "heis",
                                                  "hevc", "hevx", "avif", "avis", "mif2", "MiHE"};
    for (std::size_t at = 8; at + 4 <= box.size(); at += 4) {
        if (at == 12)
            continue;  // the minor version
        for (const std::string_view brand : images)
            if (matchat(box, at, brand))
                return true;
    }
    return false;
}

}  // namespace

BOXWALK walkboxes(bytes d)
{
    BOXWALK walk;
    bool image = false;
    bool meta = false;
    std::uint64_t at = 0;
    // Each box takes at least its 8-byte header.
    while (d.size() - at >= 8) {
        std::uint64_t size = be32(d, std::size_t(at));
        std::uint64_t header = 8;
        if (size == 1) {
            if (d.size() - at < 16)
                break;
            size = be64(d, std::size_t(at) + 8);
            header = 16;
        } else if (size == 0) {
            size = d.size() - at;  // the last box runs to the end
        }
        if (!boxtype(d.data() + at + 4) || size < header || size > d.size() - at)
            break;
        if (matchat(d, std::size_t(at) + 4, "ftyp") && at == 0)
            image = imagebrands(d.subspan(0, std::size_t(std::min<std::uint64_t>(size, 256))));
        walk.movie = walk.movie || matchat(d, std::size_t(at) + 4, "moov");
        meta = meta || matchat(d, std::size_t(at) + 4, "meta");
        at += size;
    }
    walk.movie = walk.movie || (image && meta);
    walk.end = std::size_t(at);
    return walk;
}

bool mp4start(bytes head)
{
    if (head.size() < 8)
        return false;
    const std::uint32_t size = be32(head, 0);
    static constexpr std::string_view firsts[] = {"ftyp", "moov", "mdat", "free", "skip", "wide", "pnot", "uuid"};
    return (size == 0 || size == 1 || size >= 8) &&
           std::any_of(std::begin(firsts), std::end(firsts), [head](std::string_view t) { return matchat(head, 4, t); });
}

// Proves: the first box one that begins such files, the top-level boxes,
// each with a printable type and a size no smaller than its header,
// following each other, and one of them the movie box (for a HEIF or AVIF
// image, the meta box). Reports where they stop.
FINDING readmp4(bytes d)
{
    if (!mp4start(d))
        return damagedat();
    const BOXWALK walk = walkboxes(d);
    return walk.movie ? endsat(walk.end) : damagedat();
}

namespace {

// Top-level box types of ISO base media and QuickTime files.
bool knownbox(bytes d, std::size_t at)
{
    static constexpr std::string_view known[] = {"mdat", "moov", "moof", "mfra", "free", "skip", "wide",
                                                 "udta", "meta", "uuid", "pdin", "sidx", "styp", "pnot"};
    return std::any_of(std::begin(known), std::end(known), [&](std::string_view t) { return matchat(d, at + 4, t); });
}

}  // namespace

namespace {

template <class GET>
FINDING mp4walk(std::uint64_t length, GET get)
{
    const auto head = headreader(length, get);
    if (length < 8 || !mp4start(head(0, 8)))
        return damagedat();
    bool image = false;
    bool meta = false;
    bool movie = false;
    std::uint64_t at = 0;
    // Each box takes at least its 8-byte header.
    while (true) {
        const bool whole = movie || (image && meta);
        const auto stop = [&] { return whole ? endsat(std::size_t(at)) : damagedat(); };
        if (length - at < 16) {
            // Too few bytes left for a header of either length.
            if (whole)
                return {verdict::verified, std::size_t(at), std::size_t(at) + 16};
            return shortof(std::size_t(at) + 16);
        }
        const bytes h = head(at, 16);
        if (h.empty())
            return stop();
        std::uint64_t size = be32(h, 0);
        std::uint64_t header = 8;
        if (size == 1) {
            size = be64(h, 8);
            header = 16;
        }
        // A box of size 0 runs to the end of the file, which bytes that go on
        // past it do not show: the end is unknown, never its header. (One of
        // no known type after the movie box is what follows the file.)
        if (size == 0 && header == 8 && boxtype(h.data() + 4) && (!whole || knownbox(h, 0)))
            return damagedat();
        if (size < header || !boxtype(h.data() + 4) || (at != 0 && matchat(h, 4, "ftyp")))
            return stop();
        const bool known = knownbox(h, 0) || at == 0;
        if (whole && !known)
            return stop();
        if (size > length - at) {
            if (!known && whole)
                return stop();
            return size > (std::uint64_t(1) << 40) ? damagedat() : shortof(std::size_t(at + size));
        }
        if (at == 0 && matchat(h, 4, "ftyp")) {
            const std::size_t n = std::size_t(std::min<std::uint64_t>(size, 256));
            image = imagebrands(head(0, n));
        }
        movie = movie || matchat(h, 4, "moov");
        meta = meta || matchat(h, 4, "meta");
        at += size;
    }
}

}  // namespace

// The top-level boxes as readmp4 walks them, in bytes that go on past the
// file: once the movie box (or a HEIF image's meta box) has been passed,
// the file ends before a second ftyp box, a box of none of the known
// top-level types, or bytes that are no box; a known box that runs past the
// bytes there are asks for them.
FINDING mp4extent(bytes d)
{
    return mp4walk(d.size(), [d](std::uint64_t at, std::size_t) { return d.data() + at; });
}

EXTENT streamedextent(family f, std::uint64_t length, const READAT& read, std::uint32_t clusterbytes,
                      std::uint64_t* unmarked)
{
    // One header at a time: the largest a walk asks for is the ftyp box's brands.
    unsigned char piece[256];
    const auto get = [&](std::uint64_t at, std::size_t n) -> const unsigned char* {
        return n <= sizeof piece && read(at, n, piece) ? piece : nullptr;
    };
    FINDING found;
    if (f == family::mp4)
        found = mp4walk(length, get);
    else if (f == family::riff)
        found = riffwalk(length, get);
    else if (f == family::zip)
        found = zipstreamed(length, read);
    else if (f == family::gzip)
        found = gzipstreamed(length, read, clusterbytes);
    else if (f == family::pdf)
        found = pdfstreamed(length, read, unmarked);
    else if (f == family::ole2)
        found = ole2streamed(length, read);
    else if (f == family::tiff)
        found = tiffstreamed(length, read);
    else if (f == family::ts)
        found = tsstreamed(length, read, clusterbytes);
    return EXTENT{found.v, found.end, found.want};
}

std::size_t id3end(bytes d)
{
    std::size_t at = 0;
    // Two tags when a tagger put a new one before the old; each takes at
    // least its 10-byte header.
    while (matchat(d, at, "ID3") && d.size() - at >= 10) {
        if ((d[at + 6] | d[at + 7] | d[at + 8] | d[at + 9]) & 0x80)
            return d.size() + 1;
        const std::size_t size = std::size_t(d[at + 6]) << 21 | std::size_t(d[at + 7]) << 14 |
                                 std::size_t(d[at + 8]) << 7 | d[at + 9];
        at += 10 + size + ((d[at + 5] & 0x10) ? 10 : 0);
    }
    return at;
}

namespace {

// Where an APEv2 tag that ends at stop begins (its 32-byte footer last,
// its header first when the footer's flags say so); stop when there is
// none.
std::size_t apetagstart(bytes d, std::size_t from, std::size_t stop)
{
    if (stop - from < 32 || !matchat(d, stop - 32, "APETAGEX"))
        return stop;
    const std::uint64_t size = le32(d, stop - 20);  // items and footer
    const bool header = le32(d, stop - 12) & 0x80000000u;
    const std::uint64_t whole = size + (header ? 32 : 0);
    if (size < 32 || whole > stop - from)
        return stop;
    return stop - std::size_t(whole);
}

}  // namespace

namespace {

// A frame header the walk below takes as a first frame.
bool frameheader(bytes d, std::size_t at)
{
    if (d.size() - at < 4 || d[at] != 0xFF || (d[at + 1] & 0xE0) != 0xE0)
        return false;
    const int version = (d[at + 1] >> 3) & 3;
    const int layer = (d[at + 1] >> 1) & 3;
    const int rateindex = d[at + 2] >> 4;
    const int srindex = (d[at + 2] >> 2) & 3;
    return version != 1 && layer != 0 && rateindex != 0 && rateindex != 15 && srindex != 3;
}

}  // namespace

bool mp3start(bytes head)
{
    if (startswith(head, "ID3"))
        return head.size() < 10 || ((head[6] | head[7] | head[8] | head[9]) & 0x80) == 0;
    return head.size() < 4 ? startswith(head, "\xFF") && (head.size() < 2 || (head[1] & 0xE0) == 0xE0)
                           : frameheader(head, 0);
}

namespace {

// The length of the frame whose header is at at (frameheader holds), and
// in *key its version, layer and sample rate.
std::size_t framelength(bytes d, std::size_t at, std::uint32_t* key)
{
    static constexpr int bitrates[2][3][15] = {
        {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
         {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
         {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
        {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
    static constexpr int rates[4][3] = {{11025, 12000, 8000}, {0, 0, 0}, {22050, 24000, 16000}, {44100, 48000, 32000}};
    const int version = (d[at + 1] >> 3) & 3;  // 0 MPEG 2.5, 2 MPEG 2, 3 MPEG 1
    const int layer = 4 - ((d[at + 1] >> 1) & 3);
    const int rateindex = d[at + 2] >> 4;
    const int srindex = (d[at + 2] >> 2) & 3;
    *key = std::uint32_t(d[at + 1] & 0xFE) << 8 | std::uint32_t(srindex);
    const int bitrate = bitrates[version == 3 ? 0 : 1][layer - 1][rateindex] * 1000;
    const int samplerate = rates[version][srindex];
    const int padding = (d[at + 2] >> 1) & 1;
    if (layer == 1)
        return std::size_t((12 * bitrate / samplerate + padding) * 4);
    if (layer == 3 && version != 3)
        return std::size_t(72 * bitrate / samplerate + padding);
    return std::size_t(144 * bitrate / samplerate + padding);
}

}  // namespace

// After the ID3v2 tags (a carved MP3 begins with them), the frames of the
// first one's version, layer and sample rate while they follow each other;
// then an APEv2 tag and an ID3v1 tag when there. At least two frames.
FINDING mp3extent(bytes d)
{
    // A carved MP3 begins with its tag.
    if (!d.empty() && std::memcmp(d.data(), "ID3", std::min<std::size_t>(d.size(), 3)) != 0)
        return damagedat();
    if (d.size() < 10)
        return shortof(10);
    if ((d[6] | d[7] | d[8] | d[9]) & 0x80)
        return damagedat();
    std::size_t at = id3end(d);
    if (at > d.size())
        return at == d.size() + 1 ? shortof(d.size() + 1) : shortof(at);
    std::uint32_t firstkey = 0;
    std::size_t frames = 0;
    while (true) {
        if (d.size() - at < 4)
            return shortof(at + 4);
        if (!frameheader(d, at))
            break;
        std::uint32_t key = 0;
        const std::size_t length = framelength(d, at, &key);
        if (frames == 0)
            firstkey = key;
        else if (key != firstkey)
            break;
        if (length < 4)
            break;
        if (length > d.size() - at)
            return shortof(at + length);
        at += length;
        ++frames;
    }
    if (frames < 2)
        return damagedat();
    if (matchat(d, at, "APETAGEX") && d.size() - at >= 32) {
        const std::uint64_t size = le32(d, at + 12);
        const std::uint64_t whole = size + ((le32(d, at + 20) & 0x80000000u) ? 32 : 0);
        if (size >= 32 && whole <= (1u << 24))
            at += std::size_t(whole);
    }
    if (at <= d.size() && d.size() - at >= 3 && matchat(d, at, "TAG"))
        at += 128;
    if (at > d.size())
        return shortof(at);
    return endsat(at);
}

// Proves: after optional ID3v2 tags, MPEG audio frames of one version,
// layer and sample rate follow each other exactly to the end of the file
// (or to an APEv2 tag, an ID3v1 tag, or both), at least two of them.
FINDING readmp3(bytes d)
{
    std::size_t at = id3end(d);
    if (at > d.size())
        return damagedat();
    std::uint32_t firstkey = 0;
    std::size_t frames = 0;
    std::size_t stop = d.size() >= 128 && d.size() - 128 >= at && matchat(d, d.size() - 128, "TAG") ? d.size() - 128
                                                                                                   : d.size();
    stop = apetagstart(d, at, stop);
    while (at < stop) {
        if (stop - at < 4 || !frameheader(d, at))
            return damagedat();
        std::uint32_t key = 0;
        const std::size_t length = framelength(d, at, &key);
        if (frames == 0)
            firstkey = key;
        else if (key != firstkey)
            return damagedat();
        if (length < 4 || length > stop - at)
            return damagedat();
        at += length;
        ++frames;
    }
    return ifwhole(frames >= 2, d);
}

}  // namespace verify
