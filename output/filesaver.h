// Where one recovered file goes and under which name, with the options of
// kov-recover beyond the default run: the original long name, a content
// verdict (damaged files go to damaged/). With the checks, the files that
// are not settled at once (a wrong high-word estimate, a failed check) go
// to a waiting room that later phases settle through the saver. Every
// front end or scanner that hands out found files (the saving pass, a scan
// of the free clusters) saves them through one FileSaver.
#pragma once

#include "model/kovcore.h"
#include "output/clusterclaims.h"
#include "output/outputtree.h"
#include "output/saverecord.h"
#include "output/waitroom.h"
#include "verify/verify.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

struct SAVEOPTIONS {
    bool verify = false;         // check every file's contents; damaged ones go to damaged/
    bool originalnames = false;  // save under the long name its slots give back
    bool deep = false;           // files also go below lost/ (the deep scan)
    bool carve = false;          // files also go below lost/carved/ (carving)
};

class FileSaver {
public:
    // Every file's record, in the order they are settled.
    using RECORDSINK = std::function<void(const FILEPARM& file, const SAVERECORD& record)>;

    // Saves through core (its recoverdir, listonly, stats and savefile); sink
    // gets every record. claims, when given, outlives this: every file saved
    // or listed claims its runs.
    FileSaver(KOVCore& core, SAVEOPTIONS options, RECORDSINK sink, ClusterClaims* claims = nullptr);
    // Where files wait (outlives this); without one every file is settled at once.
    void setwaitroom(WAITROOM* room) { waitroom = room; }
    // Told each file's size before it is written, so that room can be
    // made for it on the output disk.
    void setroomfor(std::function<void(std::uint64_t)> hook) { roomfor = std::move(hook); }

    // One found file: picks its name, shows it (setstatuslines) and, unless
    // core.listonly, saves it into core.recoverdir + subdir, or, when its
    // verdict is damaged, into core.recoverdir + "damaged/" + subdir (made
    // as needed through OUTPUTTREE, never overwriting: the same "(n)"
    // search). subdir is "" or a relative path ending with a separator.
    // Before the first file of a run the top folders its options use
    // (lost/ with deep, damaged/ with verify) are chosen. A damaged FAT32
    // file with an estimated high word (deleted, stored high word
    // entryclusterhigh 0) is written and then held for its second chance
    // (its record is told once that is settled); a scanner whose
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
    // for "(n)". nofatchain and, without it, whether the FAT chain held
    // (else the file was laid on the free clusters) go into the record.
    void savenamed(const FILEPARM& file, const QString& name, const QString& subdir, bool nofatchain,
                   bool chainheld);

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
    // clusters yet: it waits to be rebuilt around the files that proved
    // themselves, unless the waiting room is full, when it is saved at
    // once, into damaged/.
    void savewalked(const FILEPARM& file, const DIRSLOTS& around);

    // The saving walk dropped a deleted entry (its rebuilt runs were empty
    // or reached a live cluster). Files with an estimated high word wait
    // for their second chance; with verify, the others of a format whose
    // check sees a foreign cluster wait to be rebuilt around the files that
    // proved themselves.
    void dropped(const FILEPARM& entry, const DIRSLOTS& around);

    // A file that waited, settled now: written (into damaged/ when record
    // says damaged; a record without a verdict is checked) and reported,
    // never held again.
    void settlewaited(const FILEPARM& file, const SAVERECORD& record, const QString& subdir,
                      const DIRSLOTS& around);
    // A record already written (a held estimate that kept its place):
    // counted and told.
    // claimed: the file still claims its runs (a damaged one's claim is
    // then weakened for carving); false when it has let them go.
    void report(const FILEPARM& file, const SAVERECORD& record, bool claimed = true);
    // The record a file gets (its name from the slots around it).
    SAVERECORD describe(const FILEPARM& file, const DIRSLOTS& around, bool ownname) const;
    // A FAT32 deleted entry whose stored high word is 0: its start's high
    // word is an estimate.
    bool estimated(const FILEPARM& file) const;

    const VERDICTCOUNTS& counts() const { return tally; }

    // The record as one JSON object (the fields of --list --json).
    static QJsonObject json(const FILEPARM& file, const SAVERECORD& record);

private:
    void settle(const FILEPARM& file, SAVERECORD record, const QString& subdir, bool mayhold, const DIRSLOTS& around);
    // The file offsets of its bytes on sectors already known unreadable
    // (for a listing, which reads no file).
    std::vector<badsectors::BYTESPAN> knownunreadable(const FILEPARM& file) const;
    std::optional<verify::verdict> contentverdict(const FILEPARM& file, const QString& name, const QString& path,
                                                  verify::family* kind) const;
    void movetodamaged(SAVERECORD& record, const QString& subdir);
    QString damageddir(const QString& subdir);
    // The directory for subdir, made as needed (tree.folder); when it
    // cannot be made, the path it would have, where the save then fails.
    QString outdir(const QString& subdir);
    // Chooses the run's top folders once per run and output directory.
    void begin();
    void count(const SAVERECORD& record);
    KOVCore& core;
    SAVEOPTIONS options;
    RECORDSINK sink;
    ClusterClaims* claims;
    VERDICTCOUNTS tally;
    WAITROOM* waitroom = nullptr;
    std::function<void(std::uint64_t)> roomfor;
    OUTPUTTREE tree;
    QString begunin;  // the output directory begin() chose the top folders in
};
