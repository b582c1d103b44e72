// The heap's free clusters (neither allocated nor taken by a live or saved
// file), one bit each, counted per block of 4096 in a Fenwick tree: a
// rebuild learns in log time how many free clusters lie ahead of it and
// steps from one free run to the next, so that its cost follows the
// clusters it gets, not the heap it passes.
#pragma once

#include "exfat/volume.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace exfat {

class FREECLUSTERS {
public:
    // Over the heap clusters 2 .. clusters + 1, free where isfree says so
    // (asked once for each). False when the memory cannot be had (then
    // nothing is free).
    bool build(std::uint32_t clusters, const std::function<bool(std::uint32_t)>& isfree);
    bool built() const { return ready; }

    bool isfree(std::uint64_t cluster) const;
    // Free clusters in [from, to).
    std::uint64_t count(std::uint64_t from, std::uint64_t to) const;
    // The first free cluster in [from, to), else to.
    std::uint64_t nextfree(std::uint64_t from, std::uint64_t to) const;
    // The first cluster in [from, to) that is not free, else to.
    std::uint64_t nexttaken(std::uint64_t from, std::uint64_t to) const;
    // The first need free clusters from from on, in runs; fewer when the
    // heap ends first.
    CHAIN first(std::uint64_t from, std::uint64_t need) const;
    // The clusters of runs (lcn = cluster - 2) are free no longer.
    void take(const std::vector<DATARUN>& runs);

private:
    // The first cluster of a block at or after block b holding a free
    // (free true) or taken cluster; end() when none.
    std::uint64_t nextblock(std::uint64_t b, bool free) const;
    std::uint64_t scan(std::uint64_t from, std::uint64_t to, bool free) const;
    std::uint64_t end() const { return total + 2; }
    void add(std::uint64_t block, std::int64_t delta);
    std::uint64_t prefix(std::uint64_t blocks) const;

    bool ready = false;
    std::uint64_t total = 0;            // heap clusters
    std::vector<std::uint64_t> words;   // bit (cluster - 2) set: free
    std::vector<std::uint32_t> blockfree;
    std::vector<std::uint64_t> tree;    // Fenwick over blockfree, 1-based
};

}  // namespace exfat
