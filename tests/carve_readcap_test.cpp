// What one file read on past the window may read: a transport stream of
// 2.3 GB walked twice in 64 KiB pages (for its end, then its check) is
// read whole, while a walk that jumps about or reads the run over and
// over is stopped.
#include "carve/readcap.h"

#include <gtest/gtest.h>

namespace {

constexpr std::uint64_t page = 64u << 10;
constexpr std::uint64_t pagecost = 4096;

// Pages from 0 up to length, as a walk reads them forward; false when one is refused.
bool walk(carve::READCAP& cap, std::uint64_t length)
{
    for (std::uint64_t at = 0; at < length; at += page)
        if (!cap.take(at, page, page))
            return false;
    return true;
}

TEST(CarveReadCap, ALongStreamIsReadTwiceWhole)
{
    const std::uint64_t ts = 2300000000ull;
    carve::READCAP cap(ts + (8u << 20), pagecost);
    EXPECT_TRUE(walk(cap, ts));
    EXPECT_TRUE(walk(cap, ts));
}

TEST(CarveReadCap, ScatteredReadsAreCountedToTheCap)
{
    carve::READCAP cap(4ull << 30, pagecost);
    std::uint64_t taken = 0;
    // Every other page: no read goes on from the last one's end.
    while (taken <= carve::READCAP::streamreads && cap.take(2 * taken * page, 16, pagecost))
        ++taken;
    EXPECT_EQ(taken, carve::READCAP::streamreads);
}

TEST(CarveReadCap, ForwardReadsAreHeldByTheirBytes)
{
    // A small run read forward over and over: the third pass is stopped
    // within the run of pages the small reads' share allows.
    const std::uint64_t run = 512u << 20;
    carve::READCAP cap(run, pagecost);
    EXPECT_TRUE(walk(cap, run));
    EXPECT_TRUE(walk(cap, run));
    EXPECT_FALSE(walk(cap, run));
}

}  // namespace
