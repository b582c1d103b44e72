// The engine of one recovery run (RUN holds it): a plan of phases
// (run/phase.h, run/phases/) laid out from the options and the volume kind
// when the run starts, stepped one small unit at a time. The run starts it
// and calls step() until it ends; every hook of the core and of the run
// goes to the events the run was given.
#pragma once

#include "model/kovcore.h"
#include "platform/volumesource.h"
#include "run/phase.h"
#include "run/runcontext.h"
#include "run/runevents.h"
#include "run/runoptions.h"
#include "run/runprogress.h"
#include "run/runreport.h"

#include <QElapsedTimer>
#include <QString>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>

class RunEngine : public KOVCore {
public:
    explicit RunEngine(RUNEVENTS& events, const RUNOPTIONS& options = {});
    ~RunEngine() override;

    // The choices of the next run; a run under way keeps its own.
    void setoptions(const RUNOPTIONS& chosen) { options = chosen; }
    const RUNOPTIONS& runoptions() const { return ctx.kept.options; }

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
    bool relaidout() const { return ctx.adoptedearlier; }

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
    // The deep scan of the layout the core has now, else null.
    const deep::DEEPSCAN* deepscan() const { return ctx.deep.get(); }
    // The last carving begun in this run, else null.
    const carve::CARVER* carving() const { return ctx.carver.get(); }
    // Where the files carving finds now go: "lost/carved/", or below an
    // earlier layout's tree while its clusters are carved.
    QString carvingtree() const { return ctx.losttree(QStringLiteral("lost/carved/")); }
    // The run's progress over its plan (RUNPROGRESS).
    RUNPROGRESS progress() const;
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
    RUNEVENTS& events;
    // at becomes phase's kind, told to the events.
    void enter(RUNPHASE phase);
    // The phase under way is done: counted, and the next one that has
    // anything to do begun; the run's end after the last.
    void advance();
    void beginnext(RUNPHASE was = RUNPHASE::idle);
    void finishrun();
    // A fresh report, claims over clusters clusters and the run's saver.
    void beginreport(std::uint64_t clusters);
    bool startexfat();
    // A failed write that ended imaging since the last look is told.
    void tellimaging();
    RUNOPTIONS options;  // of the next run
    RUNCONTEXT ctx;      // of the run under way, or of the last one
    std::deque<std::unique_ptr<PHASE>> plan;  // the phase under way first
    std::uint64_t readbefore = 0;  // bytes of the source the phases done have read
    std::uint64_t toldbefore = 0;  // of them, those of the phases told as the one under way
    QElapsedTimer clock;           // since the run began
    mutable PROGRESSHOLD shown;    // the share of the run shown so far
    mutable PROGRESSHOLD toldshown;  // of the phase told
    mutable double toldat = 0;       // its share shown so far
    bool ended = false;            // the last run went to its end
    RUNPHASE at = RUNPHASE::idle;
    std::optional<platform::VolumeSource> exfatsource;
    QString failure;
    std::uint64_t imagestopstold = 0;  // platform::imagestops() when last told
    bool tablefree = false;                      // laid out from a found layout
    std::vector<layout::FOUNDLAYOUT> foundearlier;  // given with it
    std::uint64_t rootareaat = 0, rootareabytes = 0;  // its FAT16 root area, 0 bytes: none
    // walkpercent's counts per level of the walk, from the root down.
    struct WALKSHARE {
        const unsigned char* buffer = nullptr;
        std::uint32_t index = 0;
        std::uint64_t before = 0, total = 0;
    };
    mutable std::vector<WALKSHARE> walkshares;
    mutable std::vector<const FILEPARM*> walkchain;
};
