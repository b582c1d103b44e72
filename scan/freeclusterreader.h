// The reader of a whole-volume scan (the deep scans of FAT and exFAT): the
// clusters its owner does not pass over, once, ascending, in reads of up to
// 4 MiB. A read goes around the sectors that cannot be read (a bad one is
// never asked for again), so that one bad cluster does not hide the others
// of the same read: those are handed out one by one. One that the source ends
// inside is read again one cluster at a time. After a read of which no
// cluster could be read at all, the next failed read is passed over whole,
// so that a stretch the source cannot give (a volume that claims more than
// the source holds) costs one read per step, not one per cluster.
#pragma once

#include "model/diskparm.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

// Consecutive clusters read whole.
struct CLUSTERBLOCK {
    std::uint64_t lcn = 0;
    std::uint64_t clusters = 0;
    // clusters * cluster size bytes. The reader's headroom bytes right
    // before them are the owner's, kept from step to step (a carry from the
    // block before).
    unsigned char* bytes = nullptr;
    // One cluster of a read that failed in part; the bytes before it are
    // not the owner's headroom then.
    bool alone = false;
};

class FREECLUSTERREADER {
public:
    static constexpr std::uint64_t readbytes = 4 << 20;
    // Ineligible clusters a step passes over before it returns.
    static constexpr std::uint64_t skipperstep = 1u << 20;

    FREECLUSTERREADER() = default;
    // Clusters lcn 0 .. count - 1 of disk (at disk.clusterposition(lcn)),
    // those for which eligible is true, with headroom bytes before every
    // block for the owner.
    FREECLUSTERREADER(const DISKPARM& disk, std::uint64_t count, std::function<bool(std::uint64_t)> eligible,
                      std::size_t headroom = 0);

    // False when there is nothing to read, or the buffer cannot be had
    // (nomemory()); every cluster counts as passed then.
    bool begin();
    // Passes over up to skipperstep ineligible clusters; then, unless that
    // bound was reached, reads the eligible ones that follow (up to a read's
    // worth) and hands each block of them that could be read to visit.
    // False, with the buffer freed, once every cluster is passed.
    bool step(const std::function<void(const CLUSTERBLOCK&)>& visit);
    // Passes over the rest and lets the buffer go (never from within
    // visit, whose bytes it holds); the next step returns false.
    void stop()
    {
        at = count;
        buffer.reset();
    }

    std::uint64_t position() const { return at; }
    std::uint64_t total() const { return count; }
    // Clusters of the reads made, read or not.
    std::uint64_t tried() const { return readcount + unreadcount; }
    std::uint64_t readable() const { return readcount; }
    std::uint64_t unreadable() const { return unreadcount; }
    bool nomemory() const { return outofmemory; }

private:
    DISKPARM disk;
    std::uint64_t count = 0;
    std::function<bool(std::uint64_t)> eligible;
    std::size_t headroom = 0;
    std::uint64_t clustersize = 0;
    std::uint64_t perread = 1;
    std::unique_ptr<unsigned char[]> buffer;
    std::uint64_t at = 0;
    std::uint64_t readcount = 0;
    std::uint64_t unreadcount = 0;
    bool lastfailed = false;
    bool outofmemory = false;
};
