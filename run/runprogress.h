// The progress of a whole run as both faces show it: how much of the
// source the plan's reading phases have read of what they will read, the
// speed, the time left and the files found so far.
#pragma once

#include "run/phase.h"
#include "run/runevents.h"

#include <QString>
#include <cstdint>

struct RUNPROGRESS {
    RUNPHASE phase = RUNPHASE::idle;
    PHASEPROGRESS now;               // the phase under way
    std::uint64_t done = 0, total = 0;  // bytes of the source, over the plan
    double seconds = 0;              // since the run began
    std::uint64_t files = 0;         // saved or listed so far
    std::uint64_t unreadable = 0;    // sectors of the source found unreadable so far

    // Of the plan's bytes; 0 when it reads none.
    int percent() const;
    // Of the phase under way's bytes; 0 when it reads none.
    int phasepercent() const;
    // Bytes of the source read a second, 0 before any.
    double bytespersecond() const;
    // At that speed; negative when unknown.
    double secondsleft() const;
    // "42% of the source read, 31.5 MB/s, 1:12 left, 17 files found", and
    // ", 3 sectors unreadable" once there are any.
    QString words() const;
};
