// The engine of one recovery run (RUN holds it): the two passes, the second
// chances, the deep scan and the files of lost folders, as phases of small
// steps. The run starts it and calls step() until it ends; every hook of the
// core and of the run goes to the events the run was given.
#pragma once

#include "carve/carver.h"
#include "deep/deepscan.h"
#include "layout/layoutsearch.h"
#include "model/kovcore.h"
#include "output/clusterclaims.h"
#include "output/filesaver.h"
#include "platform/volumesource.h"
#include "run/runevents.h"
#include "run/runoptions.h"
#include "run/runreport.h"

#include <QString>
#include <cstdint>
#include <memory>
#include <optional>

namespace exfat {
class EXFATRUN;
}

class RunEngine : public KOVCore {
public:
    explicit RunEngine(RUNEVENTS& events, const RUNOPTIONS& options = {});
    ~RunEngine() override;

    // The choices of the next run; a run under way keeps its own.
    void setoptions(const RUNOPTIONS& chosen) { options = chosen; }
    const RUNOPTIONS& runoptions() const { return current.options; }

    // The exFAT volume the next runs read, chosen by the face that found
    // it (exFAT has no FAT layout for the core); unset: the core's volume.
    void setexfatsource(std::optional<platform::VolumeSource> source) { exfatsource = std::move(source); }
    bool exfatchosen() const { return exfatsource.has_value(); }

    // The core was laid out from a layout found in its data area
    // (layout::adoptlayout from adopted): the next runs are the deep scan
    // alone (with adopted's FAT16 root area when one was found), then the
    // earlier layouts found beside it, each into its own tree.
    void setfoundlayout(const layout::FOUNDLAYOUT& adopted, std::vector<layout::FOUNDLAYOUT> earlier);
    // The next volume opened has a layout of its own again.
    void clearfoundlayout();
    // The last run went on to an earlier format's layout, for which it laid
    // the core out anew: the volume must be opened again before another run.
    bool relaidout() const { return adoptedearlier; }

    // Starts a fresh run into recoverdir (listing with listonly). False,
    // and nothing started, when no volume is ready (startfailure() then
    // says why when the volume could be named, else it is empty).
    bool startrun();
    const QString& startfailure() const { return failure; }
    // One small unit of work of the phase under way; the last one ends the
    // run (runended). Does nothing when no run is under way.
    void step();
    RUNPHASE phase() const { return at; }
    bool rununderway() const { return at != RUNPHASE::idle; }
    // Ends the run under way, in any phase, without its end.
    void abandonrun();
    // The counts so far; whole once the run has ended.
    RUNREPORT report() const;
    // The deep scan under way (deepscan and lostfiles phases), else null.
    const deep::DEEPSCAN* deepscan() const { return deeprun.get(); }
    // The layout search under way (layoutsearch phase), else null.
    const layout::LAYOUTSEARCH* layoutsearch() const { return search.get(); }
    // Carving under way (carving phase), else null.
    const carve::CARVER* carving() const { return carver.get(); }
    // Carving's counts over the layouts carved so far in this run.
    carve::CARVECOUNTS carvingcounts() const;
    // Where the files carving finds now go: "lost/carved/", or below an
    // earlier layout's tree while its clusters are carved.
    QString carvingtree() const { return losttree(QStringLiteral("lost/carved/")); }
    // The exFAT run under way, else null.
    const exfat::EXFATRUN* exfatrun() const { return exfat.get(); }
    // How far the FAT walk under way (collecting or saving) has come, in
    // percent of the tree: its place in each folder from the root down,
    // each level a share of the slot above it. -1 in other phases and on
    // exFAT.
    int walkpercent() const;

    // The end of the walk as the core tells it: paused, the button's text
    // and the end box.
    void tellend() { KOVCore::walkended(); }

    // The core's hooks that go to the events.
    void showwarning(const QString& text) override { events.showwarning(text); }
    void showinformation(const QString& text) override { events.showinformation(text); }
    void addvolumeitem(const platform::VolumeSource& source) override { events.addvolumeitem(source); }
    void setstatuslines(const QString& name, const QString& size, const QString& time) override
    {
        events.setstatuslines(name, size, time);
    }
    void setbuttontext(const QString& text) override { events.setbuttontext(text); }

    // The core's hooks the run answers itself.
    void savefound(const FILEPARM& file) override;
    void entrydropped(const FILEPARM& dir, const FILEPARM& entry) override;
    void walkended() override;
    bool continuesdirectory(const unsigned char* cluster, std::uint64_t size) const override;

private:
    // ---- the run's hooks, told to the events ----
    void phasebegun(RUNPHASE phase) { events.phasebegun(phase); }
    void newunit() { events.newunit(); }
    void filesettled(const FILEPARM& file, const SAVERECORD& record) { events.filesettled(file, record); }
    void layoutssearched(const layout::LAYOUTSEARCH& search, const std::vector<layout::FOUNDLAYOUT>& found)
    {
        events.layoutssearched(search, found);
    }
    void earlierbegun(const layout::FOUNDLAYOUT& earlier, const QString& tree) { events.earlierbegun(earlier, tree); }
    void lostnotsaved(const deep::DEEPCANDIDATE& candidate, const QString& reason)
    {
        events.lostnotsaved(candidate, reason);
    }
    void runended() { events.runended(); }
    RUNEVENTS& events;

    void enter(RUNPHASE phase);
    // After the last recovery phase: carving when chosen, else the end.
    void endphases();
    // Carving area for this run; false when there is nothing to read.
    bool begincarving(carve::CARVEAREA area);
    // The FAT layout the core has now, past the deep scan's directories.
    carve::CARVEAREA fatcarvearea() const;
    // After an earlier layout's clusters were carved: the volume's own
    // layout laid out again and carved; false when there is none to carve.
    bool carveownlayout();
    void finishrun();
    // A fresh report, claims over clusters clusters and the run's saver.
    void beginreport(std::uint64_t clusters);
    bool startexfat();
    void stepexfat();
    // The deep scan over the core's layout as it stands, leaving to the
    // next earlier layout what lies inside its directories.
    void begindeep();
    // The deep scan of the next earlier layout; false when there is none.
    bool beginearlier();
    // The deep scan's counts kept in the report before another replaces it.
    void keepdeepcounts();
    // lost/ or the earlier layout's tree in place of it.
    QString losttree(const QString& subdir) const;
    // The phase the exFAT run is in, in the faces' terms.
    RUNPHASE exfatphase() const;
    RUNOPTIONS options;
    RUNREPORT current;
    RUNPHASE at = RUNPHASE::idle;
    ClusterClaims claims;  // the clusters of the files saved or listed in this run
    std::unique_ptr<FileSaver> saver;
    std::unique_ptr<deep::DEEPSCAN> deeprun;
    std::unique_ptr<carve::SAVEDFILES> savedfiles;  // with carving: the run's saved files
    std::unique_ptr<carve::CARVER> carver;
    std::optional<platform::VolumeSource> exfatsource;
    std::unique_ptr<exfat::EXFATRUN> exfat;
    QString failure;
    std::unique_ptr<layout::LAYOUTSEARCH> search;
    bool tablefree = false;                      // laid out from a found layout
    std::vector<layout::FOUNDLAYOUT> foundearlier;  // given with it
    std::uint64_t rootareaat = 0, rootareabytes = 0;  // its FAT16 root area, 0 bytes: none
    std::vector<layout::FOUNDLAYOUT> earlier;    // this run's, still to recover
    QString tree;                                // the earlier layout's output tree, "" for lost/
    bool adoptedearlier = false;
    // With carving, once an earlier layout is taken up: the volume's own
    // layout and the clusters its run kept (in use, saved, directories),
    // so that its cluster starts are carved too, last.
    std::optional<layout::FOUNDLAYOUT> ownlayout;
    CLUSTERBITS ownkept;  // the own layout's clusters in use, claimed or directories: carving passes over them
    carve::CARVECOUNTS carvedbefore;  // of the layouts carved before the one under way
    bool recovering = false;  // lostfiles: the deep entries are handed out; then their second chances
    // walkpercent's counts per level of the walk, from the root down.
    struct WALKSHARE {
        const unsigned char* buffer = nullptr;
        std::uint32_t index = 0;
        std::uint64_t before = 0, total = 0;
    };
    mutable std::vector<WALKSHARE> walkshares;
    mutable std::vector<const FILEPARM*> walkchain;
};
