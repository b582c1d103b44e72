// The command-line front end of the engine: terminal output for the hooks,
// and the checks and loop of one recovery or listing.
#pragma once

#include "cli/options.h"
#include "deep/deepscan.h"
#include "layout/layoutsearch.h"
#include "model/kovcore.h"
#include "output/clusterclaims.h"
#include "output/filesaver.h"

#include <QList>
#include <QElapsedTimer>
#include <QString>
#include <cstdio>
#include <memory>

namespace partitions {
struct FATVOLUME;
}

// Exit statuses of kov-recover.
enum ExitStatus {
    exitok = 0,
    exitsavefailed = 1,  // the run ended, but some files could not be saved
    exitusage = 2,
    exitsource = 3,      // source cannot be opened or is not FAT16/FAT32
    exitoutput = 4,      // output directory cannot be created or is on the source
};

class RecoverRun : public KOVCore {
public:
    explicit RecoverRun(std::FILE* listout = stdout, const RECOVEROPTIONS& options = {});

    // Opens SOURCE as the one volume: a bare FAT volume, IMAGE:N (its
    // partition N), or the one FAT volume inside a partitioned source.
    // Prints the reason (and, for several volumes, their list) and returns
    // exitsource on failure, exitok otherwise.
    int opensource(const QString& source);
    // Prints the FAT volumes of SOURCE to the list stream, one a line:
    // partition number (0 for a bare volume), offset, size, FAT type, label.
    int listvolumes(const QString& source);
    // Both passes into outdir (created if missing). Returns the exit status.
    int recover(const QString& outdir);
    // The collecting pass, then the saving pass listing what it would save.
    int list();

    void showwarning(const QString& text) override;
    void showinformation(const QString& text) override;
    void addvolumeitem(const platform::VolumeSource& source) override;
    void setstatuslines(const QString& name, const QString& size, const QString& time) override;
    void setbuttontext(const QString& text) override;
    // Every file goes through the saver with its directory's slots.
    void savefound(const FILEPARM& file) override;
    void entrydropped(const FILEPARM& dir, const FILEPARM& entry) override;

private:
    // The volumes SOURCE names; with several false, more than one is an
    // error. Skipped partitions are told on stderr.
    int findvolumes(const QString& source, bool several, QList<partitions::FATVOLUME>* out);
    // Both passes (and the deep scan when asked); false (reported) when
    // there is no volume to walk.
    bool runpasses();
    // With no FAT volume in SOURCE: the layout search over the whole
    // source (the one phase of layout/), its result told on stderr; lays
    // the volume out from the layout most directories agree on. False
    // (told) when none is found.
    bool findlayout(const QString& source);
    // The layout search over the open source, with progress and its
    // troubles told on stderr.
    std::vector<layout::FOUNDLAYOUT> searchlayouts();
    // After the deep scan: the directories of an earlier format's layout,
    // on the clusters the volume has not overwritten and no saved file
    // claims, into OUTDIR/lost/earlier-layout-<cluster size>/. The core is
    // laid out anew for it (it is the run's last phase).
    void runearlier(const layout::FOUNDLAYOUT& earlier);
    // The deep scan's scan and recovery; tree, when given, replaces the
    // "lost/" its folders begin with.
    void rundeep(const QString& tree = QString());
    void progress(bool force);
    // A file's line of the listing, or the note of a start chosen by content.
    void report(const FILEPARM& file, const SAVERECORD& record);
    QString verdictsummary() const;
    void deepprogress(std::uint64_t done, std::uint64_t total);
    std::unique_ptr<deep::DEEPSCAN> deeprun;
    // SOURCE holds no FAT volume (findvolumes said so), and the one laid
    // out from a found layout, whose run is the deep scan alone.
    bool nofatvolume = false;
    bool foundlayout = false;
    QString foundtype;  // "FAT32 (found)", for --list-volumes
    std::vector<layout::FOUNDLAYOUT> otherlayouts;  // found beside the one laid out
    QElapsedTimer deepclock;
    std::int64_t lastdeepdraw = 0;
    std::FILE* listout;
    RECOVEROPTIONS options;
    ClusterClaims claims;  // the clusters of the files saved or listed in this run
    FileSaver saver;
    bool live;  // stderr is a terminal: one progress line, redrawn
    QString current;
    int warningcount = 0;
    std::uint64_t lastprogress = 0;
};
