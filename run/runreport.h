// The counts of one recovery run and the words both faces use for them.
#pragma once

#include "carve/carver.h"
#include "exfat/walk.h"
#include "model/kovcore.h"
#include "output/filesaver.h"
#include "run/runoptions.h"

#include <QString>
#include <QStringList>
#include <cstdint>

struct RUNREPORT {
    RUNOPTIONS options;
    RUNSTATS stats;          // the core's counters: entries, saves, bytes, failures
    VERDICTCOUNTS verdicts;  // with options.verify
    std::uint64_t settled = 0;  // files saved or listed, with or without success
    std::uint64_t lost = 0;     // of them, those found in lost folders (options.deep)
    // The deep scan's figures (options.deep).
    std::uint64_t scannedclusters = 0;
    std::uint64_t directoryclusters = 0;
    std::uint64_t unsavedlost = 0;
    std::uint64_t shallower = 0;
    carve::CARVECOUNTS carving;  // options.carve
    // An exFAT run: its deep scan counts entry sets (not directory
    // clusters), and what its volume, walk and deep scan passed over.
    bool exfat = false;
    QStringList exfatnotes;
    exfat::WALKCOUNTS exfatwalk;  // what its walk met and handed out
    // Without the deep scan: the FAT holds almost no chains over free
    // clusters that hold folders (deep::sampledirectories), as after a
    // quick format.
    bool formatted = false;
    // Where the run left its map of the sectors it read and could not read
    // (a ddrescue mapfile); empty when it met no unreadable sector.
    QString unreadablemap;

    // The choices not made that may find what this run did not: when it
    // found no file at all, or the card looks formatted. Neither for a run
    // with both.
    bool trydeep() const;
    bool trycarve() const;

    // "; V verified, U unchecked, D damaged, S starts chosen by content,
    // R files rebuilt around proven files"
    // with verify (", P plausible" after the damaged when carving gave
    // any), else empty.
    QString verdictsummary() const;
    // "; N unreadable sectors, M files with unreadable parts (zeros, in
    // damaged/)" when the source had any, else empty.
    QString unreadablesummary() const;
    // kov-recover's last line: saves, bytes, failures, entries, the time
    // taken and the verdicts.
    QString summary(double seconds) const;
    // kov-recover's line on carving: clusters read, starts, files carved
    // (and of them the plausible ones, and those saved without a ZIP that
    // follows them) and those not saved, by reason.
    QString carvesummary() const;
    // The window's line under "Recovery accomplished!": what was saved,
    // its verdicts, how much came from lost folders and from carving (and
    // of that how much is plausible only), and what to try (advice) when
    // anything.
    QString detail() const;
    // What to try, in the window's words (its choices' names); empty when
    // nothing.
    QString advice() const;
    // The same for kov-recover, naming its options.
    QString optionadvice() const;
};
