// One phase of a run: a room of the plan (run/phases/). The run begins it,
// steps it one small unit at a time until it says it is done, counts it into
// the report and begins the next. A phase may add phases right after itself
// (RUNCONTEXT::next), as an earlier layout adds its deep scan.
#pragma once

#include "run/runevents.h"

#include <cstdint>

struct RUNCONTEXT;
struct RUNREPORT;

// How far a phase has come, in bytes of the source it reads (0 of 0 for
// one that reads none, as saving what others found), and what it has found
// so far in its own terms (folder clusters, entry sets, files).
struct PHASEPROGRESS {
    std::uint64_t done = 0, total = 0;
    std::uint64_t found = 0;
};

class PHASE {
public:
    virtual ~PHASE() = default;
    // What the faces are told it is; idle for a phase that only lays the
    // volume out anew and adds the phases for it, never told.
    virtual RUNPHASE kind() const = 0;
    // False: nothing to do (the run goes on to the next phase).
    virtual bool begin(RUNCONTEXT&) { return true; }
    // One small unit of work; false once the phase is done.
    virtual bool step(RUNCONTEXT&) = 0;
    virtual PHASEPROGRESS progress(const RUNCONTEXT&) const { return {}; }
    // Before it has begun: the bytes of the source it expects to read.
    virtual std::uint64_t plannedbytes(const RUNCONTEXT&) const { return 0; }
    // Adds what it has counted so far (the run keeps it once it is done).
    virtual void count(const RUNCONTEXT&, RUNREPORT&) const {}

protected:
    PHASE() = default;
    PHASE(const PHASE&) = default;
    PHASE& operator=(const PHASE&) = default;
};
