// MPEG-2 transport streams: 188-byte packets (TS), or 192-byte ones that
// carry a 4-byte arrival time first (M2TS: AVCHD's .MTS, Blu-ray's
// .M2TS), each packet beginning with the sync byte 0x47.
#include "verify/formats.h"
#include "verify/randombytes.h"

#include <algorithm>
#include <vector>

namespace verify {

namespace {

constexpr unsigned char sync = 0x47;
// The bytes a stream's packet size is told by: two packets of either size.
constexpr std::size_t firstbytes = 2 * 192;

// Where the sync byte of the packet at at lies.
std::size_t syncoffset(std::size_t size) { return size == 192 ? 4 : 0; }

bool packetat(const RANDOMBYTES& d, std::uint64_t at, std::size_t size)
{
    // The transport error indicator is never set in a recorded stream.
    const std::uint64_t s = at + syncoffset(size);
    return d[s] == sync && (d[s + 1] & 0x80) == 0;
}

// The packet size whose sync bytes the first two packets of d carry (the
// first alone when d, or its first within bytes, holds one); 0 when neither.
std::size_t packetsize(const RANDOMBYTES& d, std::uint64_t within = ~std::uint64_t(0))
{
    for (const std::size_t size : {std::size_t(192), std::size_t(188)}) {
        const std::size_t packets = std::size_t(std::min<std::uint64_t>(2, std::min(within, d.size()) / size));
        bool all = packets != 0;
        for (std::size_t i = 0; i < packets && all; ++i)
            all = packetat(d, i * size, size);
        if (all)
            return size;
    }
    return 0;
}

// The program association table's packets: their continuity counter,
// and in an M2TS the arrival time of the packet before.
struct RUN {
    int patcounter = -1;
    std::uint32_t arrival = 0;
    bool timed = false;
};

std::uint32_t arrivalat(const RANDOMBYTES& d, std::uint64_t at)
{
    return (std::uint32_t(d[at]) << 24 | std::uint32_t(d[at + 1]) << 16 | std::uint32_t(d[at + 2]) << 8 | d[at + 3]) &
           0x3FFFFFFF;
}

// Whether the packet at at begins a stream of its own: a program
// association table's first packet whose continuity counter does not go
// on from the last one's, or (M2TS) whose arrival time does not follow
// the packet before (27 MHz ticks: more than a second back or on). A
// camera writes its clips one after another; one that fills its last
// cluster runs into the next clip's packets.
bool beginsstream(const RANDOMBYTES& d, std::uint64_t at, std::size_t size, const RUN& run)
{
    const std::uint64_t s = at + syncoffset(size);
    const std::uint32_t pid = std::uint32_t(d[s + 1] & 0x1F) << 8 | d[s + 2];
    if (pid != 0 || (d[s + 1] & 0x40) == 0)
        return false;
    const int counter = d[s + 3] & 0x0F;
    if (run.patcounter >= 0 && counter != run.patcounter && counter != (run.patcounter + 1) % 16)
        return true;
    return size == 192 && run.timed && ((arrivalat(d, at) - run.arrival) & 0x3FFFFFFF) > 27000000;
}

void note(const RANDOMBYTES& d, std::uint64_t at, std::size_t size, RUN* run)
{
    const std::uint64_t s = at + syncoffset(size);
    if ((d[s + 1] & 0x1F) == 0 && d[s + 2] == 0 && (d[s + 3] & 0x10) != 0)
        run->patcounter = d[s + 3] & 0x0F;
    if (size == 192) {
        run->arrival = arrivalat(d, at);
        run->timed = true;
    }
}

}  // namespace

bool tsstart(bytes head)
{
    if (head.size() >= 6 && head[4] == sync && (head[5] & 0x80) == 0)
        return true;
    return head.size() < 2 || (head[0] == sync && (head[1] & 0x80) == 0) || (head.size() < 6 && head[0] != sync);
}

// Proves: whole packets of one size, at least two, each beginning with
// the sync byte and no transport error flagged.
FINDING readts(const RANDOMBYTES& d)
{
    const std::size_t size = packetsize(d);
    if (size == 0 || d.size() % size != 0 || d.size() < 2 * size)
        return damagedat();
    // Each step passes one packet.
    for (std::uint64_t at = 0; at < d.size(); at += size)
        if (!packetat(d, at, size))
            return damagedat();
    return endsat(std::size_t(d.size()));
}

FINDING readts(bytes d) { return readts(RANDOMBYTES(d)); }

// The packets while their sync bytes follow each other. Where they stop
// inside a cluster (of align bytes) that begins as a file of a checked
// format does, the stream ends with the last packet before that cluster:
// the packet across the boundary was cut by the other file. When the
// packets go on to the end of d the stream may go on past it: verified
// there, and more wanted. A packet at the start of a cluster that begins
// another stream ends it there.
FINDING tsextent(const RANDOMBYTES& d, std::size_t align)
{
    const std::uint64_t length = d.size();
    const std::size_t size = packetsize(d, firstbytes);
    if (size == 0) {
        std::vector<unsigned char> scratch;
        return length < firstbytes && tsstart(d.view(0, std::size_t(length), scratch)) ? shortof(firstbytes)
                                                                                        : damagedat();
    }
    std::uint64_t at = 0;
    RUN run;
    // Each step passes one packet.
    while (length - at >= size && packetat(d, at, size)) {
        if (align != 0 && at >= 2 * size && at % align == 0 && beginsstream(d, at, size, run))
            return endsat(std::size_t(at));
        note(d, at, size, &run);
        at += size;
    }
    if (at < 2 * size)
        return length - at < size ? shortof(std::size_t(std::max<std::uint64_t>(2 * size, length + 1))) : damagedat();
    if (length - at < size)
        return {verdict::verified, std::size_t(at), std::size_t(length) + 1};
    if (align != 0) {
        const std::uint64_t boundary = at / align * align;
        std::vector<unsigned char> scratch;
        const bytes next = d.view(boundary, std::size_t(std::min<std::uint64_t>(64, length - boundary)), scratch);
        const family f = boundary + size >= at ? identify(next, QString()) : family::none;
        if (f != family::none && canbegin(f, next))
            at = boundary / size * size;
    }
    return at < 2 * size ? damagedat() : endsat(std::size_t(at));
}

FINDING tsextent(bytes d, std::size_t align) { return tsextent(RANDOMBYTES(d), align); }

}  // namespace verify
