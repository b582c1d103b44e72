// The structure readers behind check(): one per family, each reading a file
// from its first byte to where its structure ends. Internal to verify/.
#pragma once

#include "verify/verify.h"

#include <cstring>
#include <string_view>

namespace verify {

// What a reader found: the verdict, and for a structure read to its end
// (verified) the offset just past it. check() holds that end against the
// file's size; a carver can take it as the file's length.
struct FINDING {
    verdict v = verdict::damaged;
    std::size_t end = 0;
    // Damaged because d ended inside the structure: the bytes it would need
    // at least (d.size() + 1 when the structure does not say); 0 otherwise.
    std::size_t want = 0;
};

inline FINDING damagedat() { return {verdict::damaged, 0}; }
inline FINDING shortof(std::size_t want) { return {verdict::damaged, 0, want}; }
inline FINDING endsat(std::size_t end) { return {verdict::verified, end}; }
inline FINDING toocostly() { return {verdict::unchecked, 0}; }
inline FINDING ifwhole(bool ok, bytes d) { return ok ? endsat(d.size()) : damagedat(); }

// The work a check may spend on a file, in the units of its format (JPEG
// blocks decoded, bytes inflated): a multiple of the file's size and a
// floor for small files. Shared by the images nested in one file.
struct BUDGET {
    std::uint64_t left;
    // True and charged when units are still there; false (and exhausted) when not.
    bool spend(std::uint64_t units)
    {
        if (units > left) {
            left = 0;
            return false;
        }
        left -= units;
        return true;
    }
};

// Each reads d from its first byte. Those marked "to its end" report where
// the structure ends, which may be before d.size(); the others read to the
// end of d and report d.size() when whole.
// align, when not 0: a further image that begins at a multiple of it (the
// next cluster) is another file, not part of this one.
FINDING readjpeg(bytes d, std::size_t align = 0, RECALL* recall = nullptr);  // to its end, with what may follow the EOI
FINDING readpng(bytes d);  // to its end
FINDING readgif(bytes d);  // to its end
FINDING readbmp(bytes d);  // to its end (the size field)
FINDING readzip(bytes d);
FINDING readgzip(bytes d, std::size_t align = 0);  // to its end (the last member; align as readjpeg)
FINDING readpdf(bytes d);
FINDING readriff(bytes d);  // to its end (the last RIFF part)
FINDING readmp4(bytes d);  // to its end (the last box)
FINDING readmp3(bytes d);
FINDING readole2(bytes d);
FINDING readtext(bytes d);
FINDING readtiff(bytes d);
FINDING readraf(bytes d);
FINDING readciff(bytes d);
FINDING readts(bytes d);

// Where a file of the family that begins at d's first byte ends, when d
// holds more than the file (what a volume's free clusters hold after it):
// the families whose readers above read to the end of d. Each reports
// verified with the end once the structure is whole, shortof when d ends
// inside it.
FINDING zipextent(bytes d);  // the end record after the central directory, and its comment
FINDING pdfextent(bytes d);  // the last %%EOF of the incremental updates
FINDING ole2extent(bytes d);  // past the last sector the FAT uses
FINDING mp3extent(bytes d);  // the frames after the ID3v2 tags, and an ID3v1 tag
FINDING mp4extent(bytes d);  // the top-level boxes up to the movie's end
FINDING tiffextent(bytes d);  // the furthest byte an IFD names
FINDING rafextent(bytes d);  // the furthest part the header names
FINDING ciffextent(bytes d);  // the root heap's end, found by its directory
FINDING tsextent(bytes d, std::size_t align);  // the packets in sync (align: as readjpeg)

// The readers of the families whose structure lies anywhere in the file
// (and the transport stream's packets), over its bytes held or read on
// demand (verify/randombytes.h): the same walk either way.
class RANDOMBYTES;
bool wholepdf(const RANDOMBYTES& d);
FINDING pdfextent(const RANDOMBYTES& d);
// unmarked: in, the bytes in which no "%%EOF" begins past the header (a
// search over the same bytes from an earlier start found none there); out,
// as many as this search found so (where its first "%%EOF" begins, or all
// of d), unchanged when a read failed.
FINDING pdfextent(const RANDOMBYTES& d, std::uint64_t* unmarked);
bool wholeole2(const RANDOMBYTES& d);
FINDING ole2extent(const RANDOMBYTES& d);
FINDING readtiff(const RANDOMBYTES& d);
FINDING tiffextent(const RANDOMBYTES& d);
FINDING readts(const RANDOMBYTES& d);
FINDING tsextent(const RANDOMBYTES& d, std::size_t align);
// Over a file too large to hold, read through read within length bytes:
// the extent as above, its verdict check()'s over the bytes up to its end.
FINDING pdfstreamed(std::uint64_t length, const READAT& read, std::uint64_t* unmarked = nullptr);
FINDING ole2streamed(std::uint64_t length, const READAT& read);
FINDING tiffstreamed(std::uint64_t length, const READAT& read);
FINDING tsstreamed(std::uint64_t length, const READAT& read, std::size_t align);

// The ZIP and gzip readers over a file too large to hold, read forward
// through read within length bytes (see streamedextent); align as readgzip.
FINDING zipstreamed(std::uint64_t length, const READAT& read);
FINDING gzipstreamed(std::uint64_t length, const READAT& read, std::size_t align);

// A ZIP archive appended to another file, beginning at d's first byte with
// its offsets counted from there: the end record that closes its central
// directory (zipextent) and readzip over the bytes up to it; reports where
// it ends, shortof when d ends before its end record.
FINDING appendedzip(bytes d);

// Whether a JPEG that check() verifies, carved from clusters of align
// bytes, is proven one file (see carvedverdict).
bool jpegonefile(bytes d, std::size_t align);

// zlib's CRC-32 of d, of any length.
std::uint32_t crc32of(bytes d);

// Whether head can begin a file the reader takes (see canbegin).
bool mp4start(bytes head);
bool mp3start(bytes head);
bool textstart(bytes head);
bool tiffstart(bytes head);
bool ciffstart(bytes head);
bool tsstart(bytes head);

// Whether the box's type is ISO base media's: printable, or QuickTime's
// copyright sign.
bool boxtype(const unsigned char* type);

// The top-level boxes from the start of d while they parse; where they stop
// and whether a movie box (or, for HEIF and AVIF brands, a meta box) was
// among them.
struct BOXWALK {
    std::size_t end = 0;
    bool movie = false;
};
BOXWALK walkboxes(bytes d);

// The offset where a run of tags and frames of MP3 audio begins: past the
// ID3v2 tags at the start of d (0 when none); d.size() + 1 when a tag's
// size field is not a syncsafe integer.
std::size_t id3end(bytes d);

// Little- and big-endian readers over bytes; the caller keeps at within d.
inline std::uint16_t le16(bytes d, std::size_t at) { return std::uint16_t(d[at] | d[at + 1] << 8); }
inline std::uint32_t le32(bytes d, std::size_t at)
{
    return std::uint32_t(le16(d, at)) | std::uint32_t(le16(d, at + 2)) << 16;
}
inline std::uint64_t le64(bytes d, std::size_t at) { return le32(d, at) | std::uint64_t(le32(d, at + 4)) << 32; }
inline std::uint32_t be32(bytes d, std::size_t at)
{
    return std::uint32_t(d[at]) << 24 | std::uint32_t(d[at + 1]) << 16 | std::uint32_t(d[at + 2]) << 8 | d[at + 3];
}
inline std::uint64_t be64(bytes d, std::size_t at) { return std::uint64_t(be32(d, at)) << 32 | be32(d, at + 4); }

inline bool matchat(bytes d, std::size_t at, std::string_view s)
{
    return at <= d.size() && d.size() - at >= s.size() && std::memcmp(d.data() + at, s.data(), s.size()) == 0;
}
inline bool startswith(bytes d, std::string_view s) { return matchat(d, 0, s); }
// Where s first begins in d from at on; d.size() when it does not.
inline std::size_t findfrom(bytes d, std::size_t at, std::string_view s)
{
    const std::string_view all(reinterpret_cast<const char*>(d.data()), d.size());
    const std::size_t found = at < d.size() ? all.find(s, at) : std::string_view::npos;
    return found == std::string_view::npos ? d.size() : found;
}

}  // namespace verify
