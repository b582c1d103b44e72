// The command-line face of a run: terminal output for its events, and the
// checks and loop of one recovery or listing.
#pragma once

#include "cli/options.h"
#include "run/run.h"
#include "run/runevents.h"

#include <QList>
#include <QElapsedTimer>
#include <QString>
#include <cstdio>
#include <memory>
#include <optional>

namespace partitions {
struct FATVOLUME;
}

// Exit statuses of kov-recover.
enum ExitStatus {
    exitok = 0,
    exitsavefailed = 1,  // the run ended, but some files could not be saved
    exitusage = 2,
    exitsource = 3,      // source cannot be opened or is not FAT12, FAT16, FAT32 or exFAT
    exitoutput = 4,      // output directory cannot be created or written, or is on the source
    exitstopped = 128,   // plus the signal: stopped by SIGINT (130) or SIGTERM (143)
};

class RecoverRun : public RUNEVENTS {
public:
    explicit RecoverRun(std::FILE* listout = stdout, const RECOVEROPTIONS& options = {});
    ~RecoverRun() override;

    // Opens SOURCE as the one volume: a bare FAT volume, IMAGE:N (its
    // partition N), or the one FAT volume inside a partitioned source.
    // Prints the reason (and, for several volumes, their list) and returns
    // exitsource on failure, exitok otherwise.
    int opensource(const QString& source);
    // Prints the FAT volumes of SOURCE to the list stream, one a line:
    // partition number (0 for a bare volume), offset, size, FAT type, label.
    int listvolumes(const QString& source);
    // Both passes into outdir (created if missing, and tried with a probe
    // file first). Returns the exit status.
    int recover(const QString& outdir);
    // The collecting pass, then the saving pass listing what it would save.
    int list();

    void showwarning(const QString& text) override;
    void showinformation(const QString& text) override;
    void addvolumeitem(const platform::VolumeSource& source) override;
    void setstatuslines(const QString& name, const QString& size, const QString& time) override;
    void setbuttontext(const QString& text) override;

    // The run of this invocation.
    RUN run;

private:
    // The run's hooks, told on the terminal.
    void phasebegun(RUNPHASE phase) override;
    void newunit() override;
    void filesettled(const FILEPARM& file, const SAVERECORD& record) override;
    void lostnotsaved(const deep::DEEPCANDIDATE& candidate, const QString& reason) override;
    void imagingstopped(const QString& why) override;
    void runended() override;
    // The end of the walk and the deep scan told.
    void rundeepended(const RUNREPORT& r);
    void layoutssearched(const layout::LAYOUTSEARCH& search, const std::vector<layout::FOUNDLAYOUT>& found) override;
    void earlierbegun(const layout::FOUNDLAYOUT& earlier, const QString& tree) override;
    // With no FAT volume in SOURCE: the layout search over the whole
    // source, its result told on stderr; lays the volume out from the
    // layout most directories agree on. False (told) when none is found.
    bool findlayout(const QString& source);
    void layoutprogress(const layout::LAYOUTSEARCH& search);
    // The volumes SOURCE names; with several false, more than one is an
    // error. Skipped partitions are told on stderr.
    int findvolumes(const QString& source, bool several, QList<partitions::FATVOLUME>* out);
    // The whole run; false (reported) when there is no volume to walk.
    // SIGINT and SIGTERM stop it between two steps, or between two blocks
    // of the file being written, which is then removed (stopped).
    bool runall();
    // What was done before a stop, on stderr; the exit status.
    int stopped(const QString& done);
    // Why SOURCE cannot be opened, for its messages, from the source's
    // problem (platform::sourceproblem, empty when none was seen).
    QString sourcereason(const QString& why) const;
    // The advice of the report on stderr, when there is any.
    void advise(const RUNREPORT& r);
    void progress(bool force);
    // The walk's progress line, ended.
    void endprogress();
    // The progress line of a phase beyond the walks (what), in the run's words.
    void runprogress(const char* what);
    // SOURCE holds no FAT volume (findvolumes said so); the type of the
    // one laid out from a found layout, for --list-volumes.
    bool nofatvolume = false;
    // What SOURCE holds instead, as told: "no boot sector", "its boot
    // sector lays out none" or "NTFS volume" (findvolumes).
    QString nofatwhy;
    bool nowalk = false;         // laid out from a found layout: the deep scan alone
    bool progressended = false;  // the walk's progress line is ended
    QString foundtype;
    QElapsedTimer layoutclock;
    std::int64_t lastlayoutdraw = 0;
    QElapsedTimer deepclock;
    std::int64_t lastdeepdraw = 0;
    std::FILE* listout;
    RECOVEROPTIONS options;
    bool live;  // stderr is a terminal: one progress line, redrawn
    QString current;
    QString sourcepath;     // SOURCE's file or device
    QString unfinished;     // the file whose writing a stop cut short
    int stopsignal = 0;     // the signal that stopped the run, 0 none
    int warningcount = 0;
    std::uint64_t lastprogress = 0;
};
