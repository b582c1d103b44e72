// Content verdicts: what the bytes of a recovered file say about whether
// they are the file that was deleted. A checker only reads bytes; it never
// touches the volume or the output directory.
#pragma once

#include <QString>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace verify {

enum class verdict {
    unchecked,  // no check exists for the file's type, or checking it would cost too much
    verified,   // every check of its format passes
    damaged,    // a check fails
    // Carved: every check of its format passes, but the bytes cannot
    // prove they are one file (carvedverdict).
    plausible,
};

// "verified", "damaged", "unchecked" or "plausible".
QString verdictname(verdict v);

// The format families that have a check.
enum class family { none, jpeg, png, gif, bmp, zip, gzip, pdf, riff, mp4, mp3, ole2, text, tiff, raf, crw, ts };

using bytes = std::span<const unsigned char>;

// The family of a file by its first bytes (libmagic over the signatures of
// the checked families), and when they name none, by the extension of name.
// head needs no more than the first 64 bytes.
family identify(bytes head, const QString& name);

// The family an extension names (case-insensitive), none when unknown.
family familyofextension(const QString& name);

// The longest run of padding (0x00 or 0xFF bytes) a JPEG or gzip file may
// carry after the end of its structure on a volume with clusters of
// clusterbytes: less than one cluster and at most 4 KiB (4 KiB alone when
// clusterbytes is 0, unknown). A longer run is the tail of a shorter,
// foreign file, not padding.
std::size_t paddinglimit(std::uint32_t clusterbytes);

// What extent() proved of bytes that check() of the same bytes from the
// same first byte would prove again: the decode of a JPEG's first image,
// which is most of the cost of carving a photo. Given to both, check()
// takes it over instead of decoding again. The caller keeps the bytes at
// at unchanged while the recall is given.
struct RECALL {
    const unsigned char* at = nullptr;
    std::size_t end = 0;       // the first image's end, 0: nothing proved
    std::uint64_t spent = 0;   // the work its decode cost, charged again
};

// The check of one family over the whole contents; unchecked for none.
// clusterbytes (0 when unknown) sets the padding allowed (paddinglimit).
// The cost is bounded by the size of data: a file whose structure asks for
// more work or memory than that (a progressive JPEG's scans over a huge
// image, an archive that inflates far beyond its size) is unchecked.
// recall: what extent() proved of the same bytes, taken over.
verdict check(family f, bytes data, std::uint32_t clusterbytes = 0, RECALL* recall = nullptr);

// False when head, the first bytes of a file (16 or all there are), cannot
// begin a file of that family: its check fails (damaged) whatever follows.
// Lets a caller reject junk without reading the whole file.
bool canbegin(family f, bytes head);

// Reads into.size() bytes of a file from offset into into; false when it
// cannot (past the end, or a read error).
using reader = std::function<bool(std::uint64_t offset, std::span<unsigned char> into)>;

// False when a file of size bytes, read through read, cannot be verified
// as family f: canbegin on its first 16 bytes, then the facts of its
// structure that a few small reads at known offsets show:
//   PNG the IEND chunk as the last 12 bytes; GIF the trailer byte last;
//   BMP the file size field; ZIP the end record (and ZIP64 locator and
//   record) closing the file, the central directory it names lying before
//   it and starting with an entry; RIFF the size field, or a chain of
//   OpenDML RIFF AVIX parts adding up to the size; MP4 the top-level box
//   sizes adding up to the size with the movie (or HEIF meta) box among
//   them; MP3 a frame or another tag right after the ID3v2 tags; PDF
//   "%%EOF" in the last kilobyte; OLE2 the header's sector sizes and FAT
//   sector count; text the first and last 4 KiB free of control bytes.
// At most about 70 reads, none larger than 64 KiB plus 22 bytes (the ZIP
// end record's search); a failed read answers false. True promises nothing
// more than that the whole check is worth running; false means check()
// would not answer verified (it is damaged, or the read failed).
bool mayverify(family f, std::uint64_t size, const reader& read);

// Where a file of family f that begins at the first byte of data ends,
// found by the same structure reader as its check, when data may hold more
// than the file (the clusters that followed it on a volume of clusterbytes
// clusters; a further image or member that begins at a cluster boundary
// is another file). end: the file's length when verified. want: when data
// ended inside the structure, the bytes it would need at least
// (data.size() + 1 when the structure does not say). Files of the families
// JPEG, PNG, GIF, BMP, ZIP, gzip, PDF, RIFF, MP4, MP3, OLE2, TIFF, RAF, CRW
// and TS; none and text give damaged. The end found is no verdict: check() the bytes up to
// it.
struct EXTENT {
    verdict v = verdict::damaged;
    std::size_t end = 0;
    std::size_t want = 0;
};
EXTENT extent(family f, bytes data, std::uint32_t clusterbytes, RECALL* recall = nullptr);

// n bytes of a file from offset into to; false when they cannot be read.
using READAT = std::function<bool(std::uint64_t offset, std::size_t n, unsigned char* to)>;
// Whether a file of family f is read to its end, and proven as check()
// would prove it, without holding it: MP4/MOV/3GP (boxes) and RIFF (parts
// and chunks) by their headers alone, ZIP (local headers, data, central
// directory, end record) and gzip (members) read forward once, each member
// inflated against its CRC-32; PDF (forward to its last %%EOF, then its
// tail and cross-reference), OLE2 (its FAT and chains) and TIFF with the
// RAW files on it (its IFDs, their arrays and previews) through pages read
// where their offsets lead, and a transport stream's packets forward
// through the same pages; so that one too large to hold is read through
// streamedextent.
inline bool streamable(family f)
{
    return f == family::mp4 || f == family::riff || f == family::zip || f == family::gzip || f == family::pdf ||
           f == family::ole2 || f == family::tiff || f == family::ts;
}
// extent() over a file of length bytes that may go on past it, read through
// read (a header at a time, forward in pieces of up to 1 MiB, or pages of
// 64 KiB where offsets lead, a TIFF's previews whole up to 16 MiB), on a
// volume of clusterbytes clusters; for a streamable family, a verified end
// is the verdict check() gives the bytes up to it.
// unmarked (a PDF's): in and out, the bytes in which its search for the
// end found no "%%EOF" (pdfextent), that a later start inside them does
// not search them again.
EXTENT streamedextent(family f, std::uint64_t length, const READAT& read, std::uint32_t clusterbytes = 0,
                      std::uint64_t* unmarked = nullptr);

// The kind of TIFF-structured file d is, as the extension a camera gives
// it: "cr2", "nef", "arw", "dng", "orf", "rw2", "pef", "srw", "3fr", "erf",
// "iiq", else "tif" (by the header's variant, DNGVersion and Make).
std::string tiffkind(bytes d);

// A Fujifilm RAF's embedded JPEG (which holds its EXIF data); empty when
// the header names none inside d.
bytes rafjpeg(bytes d);

// Whether a file of family f that check() verifies, carved from clusters
// in a row, can hold a cluster of another file unnoticed: true for the
// families whose check reads sizes, offsets and chains but not the bytes
// they frame. BMP pixels, RIFF chunks (WAV samples, AVI frames, WebP),
// MP4 and MOV media data, PDF streams, OLE2 sectors, text, the camera
// families' raw image data (TIFF strips, RAF's CFA, CRW's raw data) and
// transport stream payloads are any bytes; GIF sub-blocks and MP3 frames
// chain through a foreign cluster of another file of the kind whenever
// its blocks or frames fall in step, as those of one encoder do. Only
// checksums (PNG, ZIP, gzip) and a JPEG's entropy decode see it.
bool blindtoforeign(family f);

// The verdict of a file of family f that check() verifies, carved from
// data, the clusters of clusterbytes in a row from its first: plausible
// when its bytes cannot prove they are one file (blindtoforeign; a JPEG
// whose decoder starts afresh at a cluster boundary, at a scan or past a
// restart marker, where another photo's clusters decode as well, or whose
// Exif dimensions or thumbnail do not hold), else verified.
verdict carvedverdict(family f, bytes data, std::uint32_t clusterbytes);

// zlib's CRC-32 of d, going on from the CRC-32 of the bytes before it
// (previous; 0 for none).
std::uint32_t crc32(bytes d, std::uint32_t previous = 0);

// identify + check.
inline verdict verdictof(bytes data, const QString& name, std::uint32_t clusterbytes = 0)
{
    return check(identify(data, name), data, clusterbytes);
}

}  // namespace verify
