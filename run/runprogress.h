// The progress of a whole run as both faces show it: how much of the
// source the plan's reading phases have read of what they will read, the
// speed, the time left and the files found so far. The share shown is held
// by the run (PROGRESSHOLD): it never goes back when the plan grows.
#pragma once

#include "run/phase.h"
#include "run/runevents.h"

#include <QString>
#include <cstdint>

struct RUNPROGRESS {
    RUNPHASE phase = RUNPHASE::idle;
    PHASEPROGRESS now;               // the phase under way, with those told as it just before and after
    std::uint64_t done = 0, total = 0;  // bytes of the source, over the plan
    double seconds = 0;              // since the run began
    std::uint64_t files = 0;         // saved or listed so far
    std::uint64_t unreadable = 0;    // sectors of the source found unreadable so far
    double shown = 0;                // the share of the run done, held (0..1; 1 once it has ended)
    double phaseshown = 0;           // the share of the phase told (now), held as shown is

    // Of the run, from shown.
    int percent() const;
    // Of the phase told's bytes, from phaseshown; 0 when it reads none.
    int phasepercent() const;
    // Bytes of the source read a second, 0 before any.
    double bytespersecond() const;
    // At the pace the shown share has come so far; negative when unknown
    // (too little done to tell, or the run has ended).
    double secondsleft() const;
    // "42% of the source read, 31.5 MB/s, 1:12 left, 17 files found", and
    // ", 3 sectors unreadable" once there are any.
    QString words() const;
};

// The share of a run shown, from the bytes read and planned as they come:
// it never falls, and when the plan grows (an earlier layout found, a
// carving added) what is left is spread over the new total from where it
// stood, so that it goes on moving. Below 1 until the run has ended.
class PROGRESSHOLD {
public:
    void reset() { *this = PROGRESSHOLD(); }
    double see(std::uint64_t done, std::uint64_t total);

private:
    double at(std::uint64_t done) const;
    double shown = 0, base = 0;
    std::uint64_t basedone = 0, basetotal = 0;
};
