// The command-line front end of the engine: terminal output for the hooks,
// and the checks and loop of one recovery or listing.
#pragma once

#include "model/kovcore.h"

#include <QString>
#include <cstdio>

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
    explicit RecoverRun(std::FILE* listout = stdout);

    // Opens SOURCE as the one volume; prints the reason and returns
    // exitsource on failure, exitok otherwise.
    int opensource(const QString& source);
    // Both passes into outdir (created if missing). Returns the exit status.
    int recover(const QString& outdir);
    // The collecting pass, then the saving pass listing what it would save.
    int list();

    void showwarning(const QString& text) override;
    void showinformation(const QString& text) override;
    void addvolumeitem(const platform::VolumeSource& source) override;
    void setstatuslines(const QString& name, const QString& size, const QString& time) override;
    void setbuttontext(const QString& text) override;
    void filefound(const FILEPARM& file, const QString& recoveredname) override;

private:
    // Both passes; false (reported) when there is no volume to walk.
    bool runpasses();
    void progress(bool force);
    std::FILE* listout;
    bool live;  // stderr is a terminal: one progress line, redrawn
    QString current;
    int warningcount = 0;
    std::uint64_t lastprogress = 0;
};
