// MPEG-2 transport streams: 188-byte packets (TS), or 192-byte ones that
// carry a 4-byte arrival time first (M2TS: AVCHD's .MTS, Blu-ray's
// .M2TS), each packet beginning with the sync byte 0x47.
#include "verify/formats.h"

#include <algorithm>

namespace verify {

namespace {

constexpr unsigned char sync = 0x47;
// The bytes a stream's packet size is told by: two packets of either size.
constexpr std::size_t firstbytes = 2 * 192;

// Where the sync byte of the packet at at lies.
std::size_t syncoffset(std::size_t size) { return size == 192 ? 4 : 0; }

bool packetat(bytes d, std::size_t at, std::size_t size)
{
    // The transport error indicator is never set in a recorded stream.
    const std::size_t s = at + syncoffset(size);
    return d[s] == sync && (d[s + 1] & 0x80) == 0;
}

// The packet size whose sync bytes the first two packets of d carry (the
// first alone when d holds one); 0 when neither.
std::size_t packetsize(bytes d)
{
    for (const std::size_t size : {std::size_t(192), std::size_t(188)}) {
        const std::size_t packets = std::min<std::size_t>(2, d.size() / size);
        bool all = packets != 0;
        for (std::size_t i = 0; i < packets && all; ++i)
            all = packetat(d, i * size, size);
        if (all)
            return size;
    }
    return 0;
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
FINDING readts(bytes d)
{
    const std::size_t size = packetsize(d);
    if (size == 0 || d.size() % size != 0 || d.size() < 2 * size)
        return damagedat();
    // Each step passes one packet.
    for (std::size_t at = 0; at < d.size(); at += size)
        if (!packetat(d, at, size))
            return damagedat();
    return endsat(d.size());
}

// The packets while their sync bytes follow each other. Where they stop
// inside a cluster (of align bytes) that begins as a file of a checked
// format does, the stream ends with the last packet before that cluster:
// the packet across the boundary was cut by the other file. When the
// packets go on to the end of d the stream may go on past it: verified
// there, and more wanted.
FINDING tsextent(bytes d, std::size_t align)
{
    const std::size_t size = packetsize(d.first(std::min<std::size_t>(d.size(), firstbytes)));
    if (size == 0)
        return d.size() < firstbytes && tsstart(d) ? shortof(firstbytes) : damagedat();
    std::size_t at = 0;
    // Each step passes one packet.
    while (d.size() - at >= size && packetat(d, at, size))
        at += size;
    if (at < 2 * size)
        return d.size() - at < size ? shortof(std::max(2 * size, d.size() + 1)) : damagedat();
    if (d.size() - at < size)
        return {verdict::verified, at, d.size() + 1};
    if (align != 0) {
        const std::size_t boundary = at / align * align;
        const bytes next = d.subspan(boundary, std::min<std::size_t>(64, d.size() - boundary));
        const family f = boundary + size >= at ? identify(next, QString()) : family::none;
        if (f != family::none && canbegin(f, next))
            at = boundary / size * size;
    }
    return at < 2 * size ? damagedat() : endsat(at);
}

}  // namespace verify
