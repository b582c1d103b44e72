// Where one recovered file goes and under which name, with the options of
// kov-recover beyond the default run: the original long name, a content
// verdict (damaged files go to damaged/), and on FAT32 a second chance for
// files whose start cluster's erased high word was estimated. Every front
// end or scanner that hands out found files (the saving pass, a scan of the
// free clusters) saves them through one FileSaver.
#pragma once

#include "model/kovcore.h"
#include "output/clusterclaims.h"
#include "output/outputtree.h"
#include "verify/verify.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_set>
#include <vector>

struct SAVEOPTIONS {
    bool verify = false;         // check every file's contents; damaged ones go to damaged/
    bool originalnames = false;  // save under the long name its slots give back
    bool deep = false;           // files also go below lost/ (the deep scan)
    bool carve = false;          // files also go below lost/carved/ (carving)
};

// The raw directory a file was found in: raw (count 32-byte slots) and the
// index of the file's short entry. All empty for a file found outside any
// directory.
struct DIRSLOTS {
    const unsigned char* raw = nullptr;
    std::uint64_t count = 0;
    std::uint64_t entry = 0;
};

// What became of one file.
struct SAVERECORD {
    QString name;                // the name chosen (before any "(n)")
    QString longname;            // the original long name; empty when unknown
    QString shortname;           // the short name with its first byte given back; empty when unknown
    QString subdir;              // below the output directory, '/'-separated; "" for its top
    QString path;                // where it was written; empty when listing or nothing could be created
    std::optional<verify::verdict> verdict;  // with verify
    bool highestimated = false;  // FAT32 start cluster's high word was erased and estimated
    bool startbycontent = false; // the second chance chose the start cluster by content
    std::uint32_t estimatedstart = 0;  // with startbycontent: the estimate it replaced
    int status = 0;              // KOVCore::savefile's status (4: stopped, nothing kept); 0 when listing
    std::optional<bool> nofatchain;  // exFAT: the Stream Extension's NoFatChain flag; unset on FAT
    QString carved;              // a carved file: its type ("jpg"); empty for a file found through an entry
    bool rebuiltaround = false;  // rebuilt again around the clusters of files that proved themselves
    // Byte ranges of the file the card could not give (zeros in the file,
    // which is then in damaged/); empty for a file read whole.
    std::vector<badsectors::BYTESPAN> unreadable;
};

struct VERDICTCOUNTS {
    std::uint64_t verified = 0;
    std::uint64_t unchecked = 0;
    std::uint64_t damaged = 0;
    std::uint64_t plausible = 0;
    std::uint64_t startbycontent = 0;
    std::uint64_t rebuiltaround = 0;
};

class FileSaver {
public:
    // Every file's record, in the order they are settled.
    using RECORDSINK = std::function<void(const FILEPARM& file, const SAVERECORD& record)>;

    // Saves through core (its recoverdir, listonly, stats and savefile); sink
    // gets every record. claims, when given, outlives this: every file saved
    // or listed claims its runs, a start chosen by content claims the runs
    // it rebuilds and its estimate lets go of its own, and no second-chance
    // candidate takes a claimed cluster.
    FileSaver(KOVCore& core, SAVEOPTIONS options, RECORDSINK sink, ClusterClaims* claims = nullptr);

    // One found file: picks its name, shows it (setstatuslines) and, unless
    // core.listonly, saves it into core.recoverdir + subdir, or, when its
    // verdict is damaged, into core.recoverdir + "damaged/" + subdir (made
    // as needed through OUTPUTTREE, never overwriting: the same "(n)"
    // search). subdir is "" or a relative path ending with a separator.
    // Before the first file of a run the top folders its options use
    // (lost/ with deep, damaged/ with verify) are chosen. A damaged FAT32
    // file with an estimated high word (deleted, stored high word
    // entryclusterhigh 0) is settled by finish() instead; a scanner whose
    // files have no directory entry sets deleted to 0 or entryclusterhigh
    // to the start's high word, so that none of them is taken for one.
    // With ownname the file keeps its own short name (an entry whose first
    // byte was never erased, found by a scan outside the walk) instead of
    // the recovered 'k' name.
    void save(const FILEPARM& file, const DIRSLOTS& around, const QString& subdir = {}, bool ownname = false);

    // A file whose volume keeps its name whole (exFAT), found outside any
    // FAT directory: saved as save() does, under safename(name), which
    // keeps the first character. A name too long for the output loses
    // characters at the end of its stem (the extension stays), leaving room
    // for "(n)". nofatchain goes into the record.
    void savenamed(const FILEPARM& file, const QString& name, const QString& subdir, bool nofatchain);

    // A file carving found by its contents, whose check has passed over
    // exactly its bytes: saved as save() does (with carving's verdict,
    // verified or plausible, and no check again) under name, with its type
    // in the record. A plausible file stays below subdir with the verified
    // ones: damaged/ holds files a check fails.
    void savecarved(const FILEPARM& file, const QString& name, const QString& subdir, const QString& type,
                    verify::verdict verdict);

    // A deleted file the saving walk met: saved as save() does, except
    // that with verify a file whose check fails (one checked in memory; with
    // an estimated high word, one that begins as its format does, the
    // others take their second chance) is neither written nor claims its
    // clusters yet: it waits for finish(), which rebuilds it around the
    // files that proved themselves. What waits is held as runs, within a
    // bound; past it a failed file is saved at once, into damaged/.
    void savewalked(const FILEPARM& file, const DIRSLOTS& around);

    // The saving walk dropped a deleted entry (its rebuilt runs were empty
    // or reached a live cluster). Files with an estimated high word wait
    // for their second chance in finish(); with verify, the others wait to
    // be rebuilt around the files that proved themselves.
    void dropped(const FILEPARM& entry, const DIRSLOTS& around);

    // After the saving walk, when every deleted entry's start is known: the
    // second chances, then the records still held back; then the files
    // waiting for proof (and the dropped ones no second chance gave), in
    // rounds: each is rebuilt from its start (with an estimated high word,
    // from every start with its low word that is no other entry's) on the
    // free clusters that no live file and no file saved outside damaged/
    // holds, and one that then verifies (of a format whose check sees a
    // foreign cluster; of several starts, one contents) is saved, verified,
    // and claims its clusters. A file is checked again only when its runs
    // changed; a round that verifies none ends them, and there are at most
    // proofrounds. Then the files
    // still waiting are saved as the walk rebuilt them (damaged/), and
    // the dropped ones stay dropped. An estimate's file stays where it was
    // saved (in damaged/) even when another start wins: a saved file is
    // never removed.
    void finish();
    // finish() in steps: one held file each; false when none is left.
    bool finishstep();
    // Files waiting for finish().
    std::size_t waiting() const { return held.size() - nextheld + proofwait.size() - nextproof; }
    // The most rounds of rebuilding around proven files.
    static constexpr unsigned proofrounds = 8;

    const VERDICTCOUNTS& counts() const { return tally; }

    // The record as one JSON object (the fields of --list --json).
    static QJsonObject json(const FILEPARM& file, const SAVERECORD& record);

private:
    struct HELD {
        FILEPARM file;
        std::vector<unsigned char> raw;  // the entry's slot and the long-name slots before it
        QString subdir;
        std::optional<SAVERECORD> record;  // null for a dropped entry
        verify::family kind;
        // raw as the directory a name is read from.
        DIRSLOTS around() const
        {
            return {raw.empty() ? nullptr : raw.data(), raw.size() / 32, raw.empty() ? 0 : raw.size() / 32 - 1};
        }
    };
    // A file waiting for the files that prove themselves.
    struct UNPROVEN {
        HELD held;
        QByteArray tried;  // a digest of the runs last checked; empty: none yet
        bool settled = false;
    };
    // One file of the rebuilding around proven files; false when none is left.
    bool proofstep();
    // The file rebuilt around the proven files' clusters, saved when it verifies.
    bool rebuildaround(UNPROVEN& waiting);
    // Whether one more file may wait: what waits is held as runs and
    // slots, within waitinglimit bytes; past it a file is settled at once,
    // as the walk rebuilt it.
    bool maywait(const HELD& h);
    // A copy of file with the slots its name is read from.
    static HELD keep(const FILEPARM& file, const DIRSLOTS& around, const QString& subdir,
                     std::optional<SAVERECORD> record, verify::family kind);
    SAVERECORD describe(const FILEPARM& file, const DIRSLOTS& around, bool ownname) const;
    void settle(const FILEPARM& file, SAVERECORD record, const QString& subdir, bool mayhold, const DIRSLOTS& around);
    // The file offsets of its bytes on sectors already known unreadable
    // (for a listing, which reads no file).
    std::vector<badsectors::BYTESPAN> knownunreadable(const FILEPARM& file) const;
    std::optional<verify::verdict> contentverdict(const FILEPARM& file, const QString& name, const QString& path,
                                                  verify::family* kind) const;
    // The whole contents read through the runs; null when they cannot be,
    // or when the file is too large to hold in memory for a check.
    std::unique_ptr<unsigned char[]> readwhole(const FILEPARM& file) const;
    void movetodamaged(SAVERECORD& record, const QString& subdir);
    QString damageddir(const QString& subdir);
    // The directory for subdir, made as needed (tree.folder); when it
    // cannot be made, the path it would have, where the save then fails.
    QString outdir(const QString& subdir);
    // Chooses the run's top folders once per run and output directory.
    void begin();
    void count(const SAVERECORD& record);
    // Keeps a damaged estimate (record) or a dropped entry for its second
    // chance; an estimate whose first bytes and tail facts fit its format
    // is no wrong start and is settled as it is.
    void hold(const FILEPARM& file, const DIRSLOTS& around, const QString& subdir,
              std::optional<SAVERECORD> record, verify::family kind);
    // The one contents, among the starts with the estimate's low word whose
    // runs are free and unclaimed, that its format verifies (byte-identical
    // copies are one answer); null when none or several differ.
    std::optional<FILEPARM> secondchance(const HELD& held);
    // The family a held file is judged by: its name's, else its contents'.
    verify::family heldfamily(const HELD& held) const;
    // The cheap facts of family kind hold for file (verify::mayverify, read
    // through its runs).
    bool plausible(const FILEPARM& file, verify::family kind) const;
    // The SHA-256 of file's contents when kind verifies them whole (its
    // plausible tail first); none when it does not.
    std::optional<QByteArray> provenhash(const FILEPARM& file, verify::family kind) const;
    bool estimated(const FILEPARM& file) const;
    // The volume's cluster size, which bounds the padding a check allows.
    std::uint32_t clusterbytes() const;

    KOVCore& core;
    SAVEOPTIONS options;
    RECORDSINK sink;
    ClusterClaims* claims;
    VERDICTCOUNTS tally;
    std::vector<HELD> held;
    std::size_t nextheld = 0;  // the next one finishstep settles
    // With claims: the clusters of the files settled outside damaged/,
    // which a file rebuilt around the proven files passes over.
    ClusterClaims sound;
    std::vector<UNPROVEN> proofwait;  // in walk order
    std::size_t nextproof = 0;        // the next one proofstep takes
    std::size_t waitingbytes = 0;     // what proofwait holds, as maywait counts it
    static constexpr std::size_t waitinglimit = 64u << 20;
    unsigned proofround = 0;          // rounds begun; proofrounds + 1: the rest is being settled
    bool proofchanged = false;        // the round under way verified a file
    // Start clusters of the deleted entries met so far, once per entry: a
    // second chance never takes another entry's start. An estimate that gave
    // a damaged file is no start of its entry and is not kept.
    std::unordered_multiset<std::uint32_t> starts;
    OUTPUTTREE tree;
    QString begunin;  // the output directory begin() chose the top folders in
};
