// The recovery engine: volume state, FAT engine, walk and scan, on Qt Core
// only. The run's engine (run/) and the tests of the core alone derive from
// it and implement the few hooks through which it reaches the user.
#pragma once

#include "fat/direntry.h"
#include "fat/minutetable.h"
#include "model/clusterbits.h"
#include "model/diskparm.h"
#include "model/fileparm.h"
#include "platform/outputfolder.h"
#include "scan/freenames.h"

#include <QString>
#include <QStringList>
#include <algorithm>
#include <functional>
#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_set>
#include <vector>

// Counters of one recovery run, for front ends that report progress.
struct RUNSTATS {
    std::uint64_t entries = 0;      // walk entries handled, both passes
    std::uint64_t saved = 0;        // files written whole
    std::uint64_t bytes = 0;        // bytes of the files written whole
    std::uint64_t createfailed = 0; // neither target nor fallback could be created
    std::uint64_t readfailed = 0;
    std::uint64_t writefailed = 0;
    std::uint64_t unreadablefiles = 0;    // saved whole size with zeros for sectors that could not be read
    std::uint64_t unreadablesectors = 0;  // of the source, as the run ends
    std::uint64_t failures() const { return createfailed + readfailed + writefailed; }
};

class KOVCore {
public:
    KOVCore();
    virtual ~KOVCore();
    KOVCore(const KOVCore&) = delete;
    KOVCore& operator=(const KOVCore&) = delete;

    // ---- hooks: the only ways the engine reaches the user ----
    // A failure the user must see (a modal box titled "error" in the window).
    virtual void showwarning(const QString& text) = 0;
    // The end of a run: the scan has stopped; tell the user (box "info").
    virtual void showinformation(const QString& text) = 0;
    // One volume found by getallvol (FAT12, FAT16, FAT32 or exFAT).
    virtual void addvolumeitem(const platform::VolumeSource& source) = 0;
    // The three status lines.
    virtual void setstatuslines(const QString& name, const QString& size, const QString& time) = 0;
    virtual void setbuttontext(const QString& text) = 0;
    // The saving pass met a file it saves (or, with listonly, would save).
    virtual void filefound(const FILEPARM& file, const QString& recoveredname);
    // The saving walk dropped a deleted entry (entry, still filled in): its
    // rebuilt runs were empty or reached a live cluster. Its slot is dir's
    // slot dir.entryindex. For front ends that give such entries another
    // try; the engine itself does nothing.
    virtual void entrydropped(const FILEPARM& dir, const FILEPARM& entry);
    // True when cluster (size bytes, free in the FAT) parses as a directory's
    // later cluster: whole directory slots, no "." entry. A deleted folder
    // (FAT12) whose first cluster is full of slots is read on into the free clusters
    // after it while this holds. The engine alone has no slot test: false.
    virtual bool continuesdirectory(const unsigned char* cluster, std::uint64_t size) const;

    // ---- volume discovery and boot sector ----
    // Lists the FAT12, FAT16, FAT32 and exFAT sources through addvolumeitem; returns the count.
    int getallvol();
    // Type code of the root's boot sector (readdbr's); *backupsector, when
    // given, gets the backup's sector (0: sector 0 was used).
    int partitiontype(const char* root, std::uint64_t* backupsector = nullptr);
    // 0: buffer holds the boot sector (caller owns it): sector 0, or the
    // FAT32 backup when sector 0 is not a boot sector (readbootsector), its
    // sector in *backupsector when given; 1 open failed; 2 sector size query
    // failed; 3 read failed (buffer null).
    int readdbr(const char* root, unsigned char*& buffer, std::uint64_t* backupsector = nullptr);
    static void parsedbr(const unsigned char* sector, DBRPARM* out);
    // Type code of a boot sector: 0 NTFS, 1 FAT32, 2 FAT16, 3 other, 4 exFAT
    // (read by exfat/, not by this engine), 5 FAT12. The labels "FAT12" and
    // "FAT16", or a boot signature over whole fields, mean a fixed root
    // area; fewer than 4,085 clusters then make it FAT12 (though a "FAT16"
    // label stands unless the table is sized for 12-bit entries only). A FAT label with bytes per
    // sector other than 512, 1024, 2048 or 4096, or 0 sectors per cluster,
    // is 3; so is an exFAT name with sector or cluster sizes it cannot have.
    static std::uint32_t classifydbr(const unsigned char* sector);
    // "FAT12", "FAT16", "FAT32" or "exFAT" for a type code; empty for others.
    static QString fstypename(std::uint32_t type);

    // ---- raw reads: whole sectors at positions size*sector ----
    static bool readasector(platform::volhandle handle, unsigned long size,
                            unsigned long long sector, unsigned char* buffer);
    static bool readsectors(platform::volhandle handle, unsigned long bytespersector,
                            unsigned long long firstsector, unsigned long long count,
                            unsigned char* buffer);

    // ---- initialisation: opens and lays out the volume of a drive root ----
    // On any failure (reported through showwarning) no volume is left:
    // volumeready() is false until a later call succeeds.
    void initdisk(const QString& root);
    // True when a FAT12/FAT16/FAT32 volume is laid out and can be walked.
    bool volumeready() const { return dbrparm.fatvolume(); }

    // ---- FAT table and chains ----
    // Reads the table from the FAT copy that is sound: the first, unless
    // its first sector cannot be read or fails the checks of a table's
    // head (fathead) that the second passes, or it cannot be read whole
    // where the second can, or it marks no live file's chain
    // (marksnolivechain) where the second, which differs, does. Sets
    // fatcopy, diskparm.fatstartsector and fatentries, and notes a second
    // copy in volumenotes. Null when the table is not cached (too large,
    // or unreadable).
    std::unique_ptr<unsigned char[]> getfat();
    // True when the cached table (fatentries entries) marks free the first
    // cluster of every live entry of the root directory that names one
    // (and, on FAT32, the root's own): a table whose head passed but which
    // holds no chain of the volume's live files.
    bool marksnolivechain(const unsigned char* table) const;
    // True when the first bytes of a table of bits-wide entries (12, 16 or
    // 32) look like a FAT's head: entry 0 holds the media byte with every
    // higher bit set, entry 1 an end of chain (its clean-shutdown and error
    // flags aside).
    static bool fathead(const unsigned char* table, int bits, std::uint8_t media);
    // The sector that holds entry n's first byte, and where in it the entry
    // lies: in entries on FAT16/FAT32, in bytes on FAT12, whose entries
    // share bytes (one in three ends in the next sector when n is even and
    // its byte is the sector's last).
    std::uint64_t getfatentrysetor(std::uint32_t n) const;
    std::uint32_t getfatentryoffsetinsector(std::uint32_t n) const;
    // Value of entry n; above the cluster range (0xFFFFFFFF) when n is
    // outside the table, its sector cannot be read or it does not lie whole
    // in its sector: never 0, so an unreadable cluster is never taken as
    // free.
    std::uint32_t getfatentry(std::uint32_t n) const;
    // The allocated chain from startcluster as runs, stretches never merged;
    // a chain that loops ends before the first cluster it repeats.
    std::vector<DATARUN> fatgetdatarun(std::uint32_t startcluster) const;

    // ---- directory entries, names and times ----
    static QString getfatfilename(const FAT32DIRENTRY* entry);
    static QString getfatfilename(const FAT16DIRENTRY* entry);
    static bool validdate(std::uint16_t date);
    static QString fatfiletime2str(std::uint64_t stamp);

    // ---- cluster usage and deleted-chain rebuilding ----
    void setbitmap(const std::vector<DATARUN>& runs);
    // 1 when the cluster is marked; clusters from clusterend on, or beyond
    // the bitmap, count as used.
    int inuse(std::uint64_t lcn) const;
    // The data clusters the bitmap speaks for: below clusterend and inside
    // the bitmap.
    std::uint64_t bitmapclusters() const { return std::min(clusterend - 2, bitmap.size()); }
    // The data clusters a whole-volume read may ask for: inside the
    // volume's sectors, the table's entries, the bitmap and the source.
    std::uint64_t readableclusters() const;
    // 0 none marked (or empty), 2 all marked, 1 some.
    int clusterusage(const std::vector<DATARUN>& runs) const;
    std::uint64_t gettotclustersize(const std::vector<DATARUN>& runs) const;
    std::vector<DATARUN> fatrecoverdatarun(std::uint32_t startcluster, std::uint64_t size) const;
    std::uint16_t estimatestartclusterhigh(const FILEPARM* dir, const FAT32DIRENTRY* entry) const;
    // Records the high word of a live entry created at the stamp's minute.
    void recordminute(std::uint64_t createtime, std::uint16_t high);

    // ---- walk ----
    void getfatroot(FILEPARM& root);
    // True when an ancestor of dir has dir's start cluster. The fixed root
    // has no cluster and never matches.
    bool detectloop(const FILEPARM& dir) const;

    // ---- scan ----
    // Handles exactly one walk entry (one timer tick). Returns at once when
    // called while a tick is still running.
    void scantick();
    // Starts a fresh run (both passes) or resumes the one under way. False,
    // and nothing started, when no volume is ready.
    bool beginrun();
    bool runactive() const { return collecting || saving; }
    // The saving walk has ended (the pass flags are clear): the run is
    // over, told through setbuttontext and showinformation. A run with
    // phases after the walk goes on with them instead.
    virtual void walkended();
    // The text of the end-of-run box.
    static QString endofruntext();
    // The next free fallback path: recoverdir + "kovrecovered" + counter.
    // Empty when none can be found (see freetargetpath).
    QString getrecoveredname();

    // ---- saving ----
    // The saving pass met a deleted file it can rebuild (curfile; its slot
    // is curdir's slot entryindex - 1). Shows it, tells filefound and, unless
    // listonly, saves it into recoverdir under its recovered name. Front
    // ends with options beyond that replace it.
    virtual void savefound(const FILEPARM& file);
    // Saves file into dir (which ends with a separator) as name, or as the
    // first free "name(n)" (freenames); when that cannot be created, as the
    // next free "kovrecoveredN" in dir. The bytes go into "<name>.part"
    // (the same "(n)" search), which is renamed to the name once written,
    // with its time set, never replacing anything; a write that fails
    // (status 3) or is stopped (4) removes it. A read failure (2) keeps the
    // clusters read before it under the name. Counts the result in stats
    // (a stop is no failure) and reports a failure through showwarning.
    // Returns the status of saveas; *written gets the path that holds the
    // file (whole or, on 2, in part), empty when none is left.
    // A file with sectors that cannot be read is written whole, zeros in
    // their place, and named in damagedfolder() (or, without one, dir's
    // damaged/), as is the part of one cut short: never under a name in
    // dir. Their file offsets go to *unreadable when given. Each piece of
    // the file written goes to wrote, in order (a status 0 has shown all).
    int savefile(const FILEPARM& file, const QString& dir, const QString& name, QString* written = nullptr,
                 std::vector<badsectors::BYTESPAN>* unreadable = nullptr,
                 const std::function<QString()>& damagedfolder = {},
                 const std::function<void(const unsigned char*, std::size_t)>& wrote = {});
    // The folder dir, opened for saving: recoverdir as named, and the
    // folders of dir below it each entered without following a link (a
    // link met is reported through showwarning). A dir outside recoverdir is
    // opened as named. Not open when any step fails.
    platform::OUTFOLDER outputfolder(const QString& dir);

    // ---- volume state ----
    // What initdisk found unusual about the open volume and worked around
    // (the backup boot sector, the second FAT), one line each, for the
    // front end to show; empty for a sound volume.
    QStringList volumenotes;
    // The FAT copy the table is read from: 1 or 2.
    int fatcopy = 1;
    // A volume laid out from its directories (layout/) has no table: every
    // entry below fatentries reads as free, so files are rebuilt
    // contiguously from their start, on clusters nothing else claims.
    bool fatless = false;
    DISKGEOMETRY geometry;
    DBRPARM dbrparm;
    platform::volhandle hdisk = nullptr;
    DISKPARM diskparm;
    // One bit a data cluster (lcn), empty when it could not be had.
    CLUSTERBITS bitmap;
    FILEPARM curfile;
    bool paused = true;
    QString recoverdir;
    std::unique_ptr<unsigned char[]> fat;
    std::uint32_t fatbits = 32;
    std::uint64_t fatentries = 0;
    // A first FAT larger than this many bytes is not cached by getfat: its
    // entries are then read sector by sector.
    std::uint64_t fatcachelimit = 512000000;
    // Size of the open source in bytes as listed (0 when unknown): FAT
    // entries and clusters that lie past its end can never be read.
    std::uint64_t sourcebytes = 0;
    // One past the last data cluster that exists (FAT numbering): it has a
    // FAT entry, lies inside the volume's sectors and inside the source,
    // entry included. The bitmap covers exactly the clusters below it;
    // those from it on count as used and are never rebuilt onto. Set by
    // initdisk; unlimited until then.
    std::uint64_t clusterend = ~std::uint64_t(0);
    FILEPARM rootdir;
    FILEPARM curdir;
    // One slot per minute from local 1980-01-01 00:00 to 2020-01-01 00:00,
    // 0xFFFF when empty; null when it could not be allocated. Written only
    // through recordminute, so that minuteindex stays exact.
    std::unique_ptr<std::uint16_t[]> minutetable;
    std::int32_t minutecount = 0;
    bool collecting = false;
    bool saving = false;

    // Saving pass lists the files it would save through filefound and
    // writes nothing.
    bool listonly = false;
    RUNSTATS stats;
    // The "(n)" numbers of the run's saves, per folder and name.
    FREENAMES freenames;
    MINUTECLOCK minuteclock;
    MINUTEINDEX minuteindex;

private:
    QString fallbackpath(const QString& dir);
    // The next free "kovrecoveredN" in folder; empty when none can be found.
    QString fallbackname(const platform::OUTFOLDER& folder);
    void readdirectory(FILEPARM& dir);
    // A deleted folder's clusters after its first (continuesdirectory).
    void extenddeleteddirectory(FILEPARM& dir);
    // Forgets the volume state: layout, FAT, bitmap, root, walk, pass flags.
    void dropvolume();
    // clusterend of the laid-out volume.
    std::uint64_t dataclusterend() const;
    bool intick = false;
    bool memorywarned = false;
    // Start clusters of the directories entered in the current pass (and
    // of the FAT32 root).
    std::unordered_set<std::uint32_t> entereddirs;
    // Clusters taken as deleted folders' later ones in this walk, and the
    // reads the search for them has left.
    std::unordered_set<std::uint64_t> continuations;
    std::uint64_t continuationreads = 0;
    // Empties entereddirs (and the continuations) for a walk from the root.
    void restartwalk();
    // The FAT sector an uncached lookup read last (or failed to read), by
    // handle and sector number: a search over neighbouring entries then
    // takes one read per sector instead of one per entry.
    mutable platform::volhandle lookuphandle = nullptr;
    mutable std::uint64_t lookupsector = 0;
    mutable bool lookupok = false;
    mutable std::vector<unsigned char> lookupbytes;
    // Byte offset of entry n in the table.
    std::uint64_t fatentrybyte(std::uint32_t n) const;
    // Reads a table sector into lookupbytes unless it is there; false when
    // it cannot be read.
    bool fatsectorbytes(std::uint64_t sector) const;
    friend class FILEPARM;
};
