// One sequential pass over a whole source for every phase that would read
// all of it: aligned reads of 4 MiB in ascending order, the next block
// asked of the system while the current one is looked at, the holes of a
// sparse image passed over unread. Each block is handed to the visitors
// with its position; a visitor notes what it finds there, so that a later
// phase reads only what it has not seen. One block a step, so that a face
// can pause between any two.
#pragma once

#include "platform/volumesource.h"

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

// Bytes at positions at .. at + n - 1 of the source. Sectors that could not
// be read are zeros here and listed in bad, ascending [from, to) ranges.
struct SWEEPBLOCK {
    std::uint64_t at = 0;
    const unsigned char* bytes = nullptr;
    std::size_t n = 0;
    const std::vector<std::pair<std::uint64_t, std::uint64_t>>* bad = nullptr;
    // True when every byte of [from, to) (inside the block) was read.
    bool readable(std::uint64_t from, std::uint64_t to) const;
    // The bytes of [from, to) that could not be read.
    std::uint64_t unreadable(std::uint64_t from, std::uint64_t to) const;
};

class SWEEPVISITOR {
public:
    virtual ~SWEEPVISITOR() = default;
    virtual void block(const SWEEPBLOCK&) = 0;
    // A hole of a sparse image: n zeros at at, never read.
    virtual void hole(std::uint64_t, std::uint64_t) {}

protected:
    SWEEPVISITOR() = default;
    SWEEPVISITOR(const SWEEPVISITOR&) = default;
    SWEEPVISITOR& operator=(const SWEEPVISITOR&) = default;
};

class SWEEP {
public:
    static constexpr std::uint64_t blockbytes = 4 << 20;
    static constexpr std::uint64_t sector = 512;

    // Bytes 0 .. bytes - 1 of handle, which outlives this.
    SWEEP(platform::volhandle handle, std::uint64_t bytes);
    // Visitors are told in the order added; they outlive the sweep's steps.
    void add(SWEEPVISITOR* visitor) { visitors.push_back(visitor); }

    // The next block (or hole) handed to the visitors; false once the
    // source is passed to its end (or the buffer cannot be had: nomemory()).
    bool step();
    bool done() const { return position >= bytes; }
    std::uint64_t passed() const { return position; }
    std::uint64_t total() const { return bytes; }
    // Bytes the sweep read from the source (holes are not read).
    std::uint64_t bytesread() const { return readcount; }
    std::uint64_t holebytes() const { return holecount; }
    std::uint64_t unreadbytes() const { return unreadcount; }
    bool nomemory() const { return outofmemory; }

private:
    // n bytes at at into buffer, read around unreadable sectors (each read
    // once in the run), which are zero and noted in bad.
    void readblock(std::uint64_t at, std::size_t n);
    // The data stretch at or after position: [datafrom, datato).
    void finddata();
    platform::volhandle handle;
    std::uint64_t bytes;
    std::uint64_t position = 0;
    std::uint64_t readcount = 0, holecount = 0, unreadcount = 0;
    int fd = -1;
    std::uint64_t base = 0;  // the source's offset in fd
    bool sparse = false;     // the descriptor answers SEEK_DATA
    bool prefetch = false;   // the next block is asked for ahead (an image file)
    std::uint64_t datafrom = 0, datato = 0;
    bool outofmemory = false;
    std::unique_ptr<unsigned char[]> buffer;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> bad;
    std::vector<SWEEPVISITOR*> visitors;
};
