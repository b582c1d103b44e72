// Carving: after the other passes, the clusters no live chain uses, no
// saved file claims and no directory holds are read once, in ascending
// order and large reads; a cluster that begins as a file of a checked
// format does is read on contiguously, the file's end is taken from its
// own structure (verify::extent), and the file is handed out only when
// its check passes over exactly those bytes: verified, or plausible when
// the bytes cannot prove they are one file (verify::carvedverdict). A file
// longer than the window whose structure bounds it (MP4, RIFF by their
// headers; ZIP, gzip read forward once, every member against its CRC-32)
// is proven from the card without being held and written by the saver
// from its clusters, so that memory stays bounded whatever its size.
#pragma once

#include "carve/pairs.h"
#include "carve/readcap.h"
#include "carve/savedfiles.h"
#include "carve/startmap.h"
#include "model/fileparm.h"
#include "verify/verify.h"

#include <QString>
#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

class ClusterClaims;
class KOVCore;

namespace carve {

// One file carving found whole.
struct CARVEDFILE {
    FILEPARM file;        // one run from its first cluster; size its length; writetime a photo's EXIF time
    verify::family kind;  // verified by its check
    verify::verdict verdict = verify::verdict::verified;  // or plausible (verify::carvedverdict)
    QString type;         // its extension: "jpg", "docx", "cr2" ...
    PLACE place;          // its folder below lost/carved/ and its name before the extension
};

struct CARVECOUNTS {
    std::uint64_t scanned = 0;     // clusters read
    std::uint64_t starts = 0;      // clusters that begin as a carved format does
    std::uint64_t carved = 0;      // files handed out
    std::uint64_t plausible = 0;   // of them, those whose bytes cannot prove they are one file
    std::uint64_t zipleft = 0;     // of them, those a ZIP follows right after their end, not whole: left out
    std::uint64_t failed = 0;      // starts whose structure or check fails, or ends at a cluster in use
    std::uint64_t toolarge = 0;    // starts whose structure goes on past the cap, of a family not streamed
    std::uint64_t duplicates = 0;  // whole files equal to a file this run saved, not handed out
    std::uint64_t cut = 0;         // starts not read on: failed starts before them spent the work allowed so far
    std::uint64_t overread = 0;    // starts read on past the window whose walk took more reads than one file may

    // Summed over the layouts a run carves.
    CARVECOUNTS& operator+=(const CARVECOUNTS& more);
};

// The clusters carving reads: lcn 0 .. clusters - 1 of disk (lcn at
// disk.clusterposition(lcn)), passing over those for which taken is true.
struct CARVEAREA {
    DISKPARM disk;
    std::uint64_t clusters = 0;
    std::function<bool(std::uint64_t lcn)> taken;  // in use, or a directory's
};

// The data area of the FAT layout core has laid out, its clusters in use taken.
CARVEAREA fatarea(const KOVCore& core);

class STEPPEDREADS;

class CARVER {
public:
    // Carves area for core's run (whose files it hands out), past the
    // clusters the run's files hold firmly (never read, and a carved file's are
    // claimed by the one who saves it before the next step), comparing
    // carved files with those saved so far; claims and saved outlive this.
    CARVER(KOVCore& core, CARVEAREA area, const ClusterClaims& claims, SAVEDFILES& saved);
    ~CARVER();

    // begin (false when there is nothing to read), then step until it
    // returns false; each step is one read of up to 4 MiB, a bounded
    // stretch of clusters in use passed over, one start judged (its end
    // found and, when whole, its check; a file found is handed to save),
    // or up to 4 MiB more of a file read on past the window.
    bool begin();
    // The starts a sweep noted over the same source: clusters that begin
    // no file are passed over unread. Null: every cluster is read.
    void usestarts(const STARTMAP* noted) { starts = noted; }
    bool step(const std::function<void(const CARVEDFILE&)>& save);
    // With the content checks: a JPEG that fails as one run may be pieced
    // together (splice).
    void piecejpegs(bool on) { pieces = on; }
    // Clusters passed, of total(); a file read on past the window passes
    // its clusters as its reads go.
    std::uint64_t position() const
    {
        return streaming ? std::min(runend, at + streaming->cost / clustersize) : at;
    }
    // Bytes read from the card so far, by carving itself (not the saver's).
    std::uint64_t bytesread() const { return readfromcard; }
    std::uint64_t total() const { return clustercount; }
    const CARVECOUNTS& counts() const { return tally; }

    // Files are read contiguously into memory up to maxwindow bytes (less
    // when KOV_CARVE_WINDOW says so, that a test's card may hold a file
    // past it); a longer one is counted too large. One of a family whose
    // structure bounds it (verify::streamable) is held up to streamwindow,
    // and past it read on from the card (its headers, an archive forward in
    // pieces, a document or RAW file where its offsets lead) to the end of
    // its free run, then written by the saver from its clusters. A compound
    // document or a TIFF is held up to namedwindow: its kind (.doc, .xls,
    // a camera's RAW) is told by bytes anywhere in it (its directory, its
    // camera's tags), and only held bytes are looked at for it. What is
    // still held whole (JPEG, PNG, GIF, BMP, MP3, RAF, CRW) is held up to
    // maxwindow, as large as a camera's uncompressed RAW or an hour of MP3:
    // only such a file makes the window that large.
    static constexpr std::uint64_t maxwindow = 256u << 20;
    static constexpr std::uint64_t streamwindow = 16u << 20;
    static constexpr std::uint64_t namedwindow = 32u << 20;

private:
    bool eligible(std::uint64_t lcn) const;
    // Reads up to bytes more of the clusters that follow the window, as
    // long as they are eligible; the clusters read, 0 when none could be.
    std::uint64_t load(std::uint64_t bytes);
    bool room(std::uint64_t bytes);
    // The window may take in the next cluster.
    bool cangrow() const;
    // The first clusters of the window passed.
    void drop(std::uint64_t clusters);
    // The start at the window's first byte judged over its first need bytes.
    void judge(const std::function<void(const CARVEDFILE&)>& save);
    // The start judged a whole file of end bytes: checked (recall: what
    // judging it proved) and handed out.
    void take(std::size_t end, const std::function<void(const CARVEDFILE&)>& save, verify::RECALL* recall);
    // The start past the window, of a streamable family: its end found
    // through its headers within its free run, at once or, for one that
    // reads on past a step's worth, over steps (streamstep), then handed
    // out (streamed).
    void stream(const std::function<void(const CARVEDFILE&)>& save);
    void streamstep(const std::function<void(const CARVEDFILE&)>& save);
    void streamed(const std::function<void(const CARVEDFILE&)>& save);
    // One read of the file read on: from the window, else the card;
    // counted in stepcost.
    bool streamread(std::uint64_t from, std::size_t n, unsigned char* to, std::uint64_t& stepcost);
    // The file of end bytes at the window's first cluster handed to save;
    // head: its first bytes, as many as are loaded.
    // pieces: the runs of a JPEG pieced together (verified), in place of one run.
    FILEPARM handout(std::uint64_t end, verify::bytes head, const std::function<void(const CARVEDFILE&)>& save,
                     const std::vector<DATARUN>* pieces = nullptr);
    // A JPEG start that failed as one run, pieced together from the free
    // clusters after it (carve/jpegfragments.h); true when it was.
    bool splice(const std::function<void(const CARVEDFILE&)>& save);
    // The first cluster at or past the window's that cannot be carved.
    std::uint64_t freerunend();
    void fail();
    // The bytes the start under judgement would add to failspent if it failed now.
    std::uint64_t charge() const;
    // The bytes failed starts may have been read over once the window is at its first cluster.
    std::uint64_t allowance() const;

    KOVCore& core;
    CARVEAREA area;
    const ClusterClaims& claims;
    SAVEDFILES& saved;
    std::uint64_t clustersize = 0;
    std::uint64_t clustercount = 0;
    std::uint64_t cap = maxwindow;
    std::uint64_t runend = 0;  // freerunend's last answer: every cluster from the window's to it is free
    std::uint64_t at = 0;  // the window's first cluster: the next start to judge
    std::unique_ptr<unsigned char[]> buffer;
    std::uint64_t capacity = 0;
    std::uint64_t offset = 0;  // where the window begins in buffer
    std::uint64_t have = 0;    // bytes of the window: whole eligible clusters from at on
    std::uint64_t stuck = ~std::uint64_t(0);  // a cluster that could not be read: the window stops before it
    // Clusters below retryend belong to a read that failed in part, and the
    // window takes them up to the next that holds an unreadable sector;
    // retrygot of them could be read. lastfailed: every one of them was
    // tried and none could.
    std::uint64_t retryend = 0;
    std::uint64_t retrygot = 0;
    bool lastfailed = false;
    verify::family candidate = verify::family::none;
    std::uint64_t need = 0;       // the bytes of the window the start is judged over
    std::uint64_t pending = 0;    // bytes the start under judgement has been read over so far
    std::uint64_t failspent = 0;  // bytes failed starts were read over past their first clusters
    CARVECOUNTS tally;
    PAIRS pairs;
    const STARTMAP* starts = nullptr;
    bool pieces = false;
    std::uint64_t readfromcard = 0;
    // A file read on past the window, over steps: its free run's length,
    // whether failed starts had left it any allowance, whether each of its
    // reads is held to what is left (held), what its reads cost and what
    // one file may still read (cap), whether it was cut short by the
    // allowance (cut) or by that cap (capped), and its end once found.
    struct STREAMING {
        std::uint64_t length = 0;
        bool allowed = false, held = false;
        std::uint64_t cost = 0;
        READCAP cap{0, 0};
        bool cut = false, capped = false;
        std::shared_ptr<verify::EXTENT> found;
        std::shared_ptr<std::uint64_t> unmarked;  // a PDF's: as streamedextent
    };
    // The bytes from the first cluster's up to which a PDF start's search
    // found no "%%EOF" past its header, when one did.
    std::uint64_t pdfunmarked = 0;
    std::optional<STREAMING> streaming;
    std::unique_ptr<STEPPEDREADS> reader;  // made at the first file read on
};

}  // namespace carve
