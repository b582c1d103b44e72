// What carving will read, known from the starts the sweep noted: the
// carver reads nothing where no start lies, and from each start on it
// reads a window, or the file that begins there, while the clusters are
// free. So the plan is, from each start, its window or up to the next
// start, whichever reaches further, within the free run it lies in: a
// file's bytes (a video's too, which the saver reads), not the gaps of
// clusters no start falls in. Built as the sweep notes them, so that the
// run's time left rests on it from the sweep's first blocks.
#pragma once

#include "carve/carver.h"
#include "carve/startmap.h"

#include <cstdint>
#include <vector>

namespace carve {

class READPLAN {
public:
    // The window the carver reads from a start on: a file that goes on
    // past its first clusters is judged next over 16 MiB.
    static constexpr std::uint64_t window = 16u << 20;

    // Takes in the starts noted since the last look, up to swept bytes of
    // the source (the sweep's end when it is done: every start then).
    void see(const CARVEAREA& area, const STARTMAP& starts, std::uint64_t swept, bool done);
    // The bytes carving will read: those of the starts seen, and, while the
    // sweep is under way, as many again of the rest as of the part swept.
    std::uint64_t total() const;
    // Of the bytes planned, those in the clusters below lcn.
    std::uint64_t before(std::uint64_t lcn) const;

private:
    void cover(const CARVEAREA& area, std::uint64_t lcn, std::uint64_t next);

    struct RUN {
        std::uint64_t lo, hi;   // clusters
        std::uint64_t sumbefore;  // bytes planned in the runs before it
    };
    std::vector<RUN> runs;  // ascending, apart
    std::size_t seen = 0;   // starts taken in
    bool pending = false;   // a start whose reach waits for the next one's place
    std::uint64_t pendinglcn = 0;
    std::uint64_t reach = 0;   // every cluster below it is planned or passed
    std::uint64_t planned = 0;  // bytes
    std::uint64_t size = 0;     // bytes of a cluster
    std::uint64_t origin = 0;   // cluster 0's byte
    std::uint64_t sweptclusters = 0, clusters = 0;
    bool complete = false;
};

}  // namespace carve
