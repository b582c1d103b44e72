// One recovery run as a face holds it: the engine inside, the face's events
// told everything the run and the core have to say. The window and
// kov-recover each hold one (RUN run{*this}) and read it through the
// accessors below; they derive from neither the engine nor the core.
#pragma once

#include "run/runengine.h"
#include "run/runevents.h"

class RUN {
public:
    explicit RUN(RUNEVENTS& events, const RUNOPTIONS& options = {});
    RUN(const RUN&) = delete;
    RUN& operator=(const RUN&) = delete;

    // The engine, for opening a source into it (run/opensource) and for
    // the volume's fields a face shows or sets before a run.
    RunEngine& engine() { return core; }
    const RunEngine& engine() const { return core; }

    // ---- the choices and the volume of the next run ----
    void setoptions(const RUNOPTIONS& chosen) { core.setoptions(chosen); }
    // Those of the run under way, or of the last one.
    const RUNOPTIONS& runoptions() const { return core.runoptions(); }
    bool volumeready() const { return core.volumeready(); }
    bool exfatchosen() const { return core.exfatchosen(); }
    bool relaidout() const { return core.relaidout(); }
    // The folder the run saves into (ending with a separator).
    const QString& recoverdir() const { return core.recoverdir; }
    void setrecoverdir(const QString& dir) { core.recoverdir = dir; }
    // The saving pass lists what it would save and writes nothing.
    bool listonly() const { return core.listonly; }
    void setlistonly(bool on) { core.listonly = on; }
    // The window's pause; the run itself steps whenever it is asked.
    bool paused() const { return core.paused; }
    void setpaused(bool on) { core.paused = on; }

    // ---- the run ----
    bool startrun() { return core.startrun(); }
    const QString& startfailure() const { return core.startfailure(); }
    void step() { core.step(); }
    RUNPHASE phase() const { return core.phase(); }
    bool rununderway() const { return core.rununderway(); }
    void abandonrun() { core.abandonrun(); }
    // The end as the core tells it: paused, the button's text, the end box.
    void tellend() { core.tellend(); }

    // ---- what it has done so far ----
    RUNREPORT report() const { return core.report(); }
    const RUNSTATS& stats() const { return core.stats; }
    // The walk under way is the collecting pass (else the saving one).
    bool collecting() const { return core.collecting; }
    int walkpercent() const { return core.walkpercent(); }
    // The progress over the whole plan, as both faces show it.
    RUNPROGRESS progress() const { return core.progress(); }
    // The deep scan's caps, for what a face says of them.
    const deep::DEEPSCAN* deepscan() const { return core.deepscan(); }
    const carve::CARVER* carving() const { return core.carving(); }
    QString carvingtree() const { return core.carvingtree(); }

private:
    RunEngine core;
};
