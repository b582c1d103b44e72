// What the phases of one run share: the core (the volume as laid out now),
// the events, the run's choices and counts, the claims, the saver and the
// scans whose state outlives one phase (a deep scan's found directories,
// the carver, the exFAT volume), and the earlier layouts still to recover.
#pragma once

#include "carve/carver.h"
#include "carve/startmap.h"
#include "deep/deepscan.h"
#include "layout/layoutsearch.h"
#include "model/clusterbits.h"
#include "output/clusterclaims.h"
#include "output/filesaver.h"
#include "rebuild/waitingfiles.h"
#include "run/phase.h"
#include "run/runevents.h"
#include "run/runoptions.h"
#include "run/runreport.h"
#include "spool/spool.h"

#include <QString>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

class RunEngine;
namespace exfat {
class EXFATRUN;
}

struct RUNCONTEXT {
    RUNCONTEXT(RunEngine& engine, RUNEVENTS& told);
    ~RUNCONTEXT();
    RUNCONTEXT(const RUNCONTEXT&) = delete;
    RUNCONTEXT& operator=(const RUNCONTEXT&) = delete;

    RunEngine& core;
    RUNEVENTS& events;
    RUNOPTIONS options;  // of the run under way
    RUNREPORT kept;      // the counts of the phases done
    ClusterClaims claims;  // the clusters of the files saved or listed in this run
    std::unique_ptr<FileSaver> saver;
    std::unique_ptr<rebuild::WAITINGFILES> waiting;  // what the saver holds back (gone before the saver)
    std::unique_ptr<carve::SAVEDFILES> savedfiles;  // with carving: the run's saved files
    std::unique_ptr<deep::DEEPSCAN> deep;           // the deep scan of the layout the core has now
    std::unique_ptr<carve::CARVER> carver;          // the last carving begun
    bool carvingbegun = false;                      // it had clusters to read
    std::unique_ptr<carve::STARTMAP> starts;        // noted by the sweep, for every carving of the run
    std::unique_ptr<deep::DIRSECTORS> dirsectors;   // noted by the sweep, for the earlier layouts' deep scans
    std::unique_ptr<exfat::EXFATRUN> exfat;         // an exFAT run's volume, walk and scan
    std::unique_ptr<spool::SPOOL> spool;            // what the sweep kept for the phases after it
    bool walkdone = false;                          // the FAT walk has ended

    // Laid out from a found layout: its FAT16 root area (0 bytes: none).
    bool tablefree = false;
    std::uint64_t rootareaat = 0, rootareabytes = 0;
    std::vector<layout::FOUNDLAYOUT> earlier;  // still to recover
    QString tree;                              // the earlier layout's output tree, "" for lost/
    bool adoptedearlier = false;
    // With carving, once an earlier layout is taken up: the volume's own
    // layout and the clusters its run kept (in use, saved, directories),
    // so that its cluster starts are carved too, last.
    std::optional<layout::FOUNDLAYOUT> ownlayout;
    CLUSTERBITS ownkept;

    // Phases the one under way adds right after itself, in this order.
    std::vector<std::unique_ptr<PHASE>> next;

    // lost/ or the earlier layout's tree in place of it.
    QString losttree(const QString& subdir) const { return tree.isEmpty() ? subdir : tree + subdir.mid(5); }
    // The FAT layout the core has now, past the deep scan's directories.
    carve::CARVEAREA fatcarvearea() const;
    // A new unit of work begins (the face's warnings concern its file).
    void newunit() const { events.newunit(); }
};
