// What a run tells the face that holds it: the core's hooks (boxes, the
// volume list, the status lines, the button) and the run's own (phases,
// files settled, what the later phases found). The face implements them;
// it holds the run, never derives from it.
#pragma once

#include <QString>
#include <vector>

class FILEPARM;
struct SAVERECORD;
namespace platform {
struct VolumeSource;
}
namespace deep {
struct DEEPCANDIDATE;
}
namespace layout {
struct FOUNDLAYOUT;
class LAYOUTSEARCH;
}  // namespace layout

enum class RUNPHASE {
    idle,           // no run under way
    collecting,     // the walk over live entries (one entry a step)
    saving,         // the walk that saves deleted files (one entry a step)
    secondchances,  // damaged estimated starts tried again (one file a step)
    layoutsearch,   // with the deep scan: the source read for other layouts' directories (one read a step)
    deepscan,       // the unused clusters read for lost folders (one read a step)
    lostfiles,      // the files of the lost folders saved (one file a step)
    carving,        // the clusters left read for files by their contents (one read or one start a step)
};

class RUNEVENTS {
public:
    virtual ~RUNEVENTS() = default;

    // ---- the core's: the only ways the engine reaches the user ----
    // A failure the user must see (a modal box titled "error" in the window).
    virtual void showwarning(const QString& text) = 0;
    // The end of a run: the scan has stopped; tell the user (box "info").
    virtual void showinformation(const QString& text) = 0;
    // One volume found by getallvol (FAT12, FAT16, FAT32 or exFAT).
    virtual void addvolumeitem(const platform::VolumeSource& source) = 0;
    // The three status lines.
    virtual void setstatuslines(const QString& name, const QString& size, const QString& time) = 0;
    virtual void setbuttontext(const QString& text) = 0;

    // ---- the run's; by default nothing is shown ----
    // A phase begins (not called for collecting, which startrun begins).
    virtual void phasebegun(RUNPHASE) {}
    // A unit of work begins whose warnings concern the file it shows next.
    virtual void newunit() {}
    // A file was saved or listed (record says where and how).
    virtual void filesettled(const FILEPARM&, const SAVERECORD&) {}
    // The layout search has read the source: found holds its layouts,
    // most agreeing first.
    virtual void layoutssearched(const layout::LAYOUTSEARCH&, const std::vector<layout::FOUNDLAYOUT>&) {}
    // The deep scan begins again over an earlier format's layout, whose
    // files go below tree ("lost/earlier-layout-4k/").
    virtual void earlierbegun(const layout::FOUNDLAYOUT&, const QString&) {}
    // An entry of a lost folder that cannot be saved, and why.
    virtual void lostnotsaved(const deep::DEEPCANDIDATE&, const QString&) {}
    // A write into the image the face is making failed (why: the system's
    // words, "No space left on device"): imaging has stopped, the run goes on.
    virtual void imagingstopped(const QString&) {}
    // The run is over (the phase is idle again). RUN::tellend says it as
    // the core does (button and end box) when the face wants that.
    virtual void runended() {}

protected:
    RUNEVENTS() = default;
    RUNEVENTS(const RUNEVENTS&) = default;
    RUNEVENTS& operator=(const RUNEVENTS&) = default;
};
