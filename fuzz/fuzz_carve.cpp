// The fuzz entry point of carving's end-finders: the input is the free
// clusters of a volume (its first byte picks the cluster size: 512 bytes
// to 4 KiB), and every cluster that begins as a carved format does is
// judged as the carver judges it: its end found over a window of four
// clusters that grows to what the structure wants, then the check over
// the bytes up to that end and the verdict a carved file gets.
//
// Besides the sanitizers' faults it aborts when a promise breaks: an end
// outside the window, a want within it, a family the start was not told
// by, a carved verdict other than verified or plausible, and verified
// for a family whose check cannot see a foreign cluster.
#include "carve/signatures.h"
#include "verify/verify.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void broken(const char* what)
{
    std::fprintf(stderr, "fuzz_carve: %s\n", what);
    std::abort();
}

// The starts judged in one input, so that an input of many starts stays
// within the time allowed.
constexpr int startsperinput = 32;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const std::size_t cluster = std::size_t(512) << (data[0] % 4);
    const verify::bytes volume(data + 1, size - 1);
    int starts = 0;
    for (std::size_t at = 0; at < volume.size() && starts < startsperinput; at += cluster) {
        const verify::bytes rest = volume.subspan(at);
        const verify::family f = carve::startfamily(rest.first(std::min(rest.size(), carve::headbytes)));
        if (f == verify::family::none)
            continue;
        ++starts;
        if (!verify::canbegin(f, rest.first(std::min<std::size_t>(rest.size(), 16))))
            broken("a start its family cannot begin");
        std::size_t window = std::min(rest.size(), 4 * cluster);
        verify::EXTENT end;
        while (true) {
            end = verify::extent(f, rest.first(window), std::uint32_t(cluster));
            if (end.want != 0 && end.want <= window)
                broken("extent wants bytes it has");
            if (end.v == verify::verdict::verified && (end.end == 0 || end.end > window))
                broken("extent found an end outside the bytes");
            if (end.want == 0 || window == rest.size())
                break;
            window = std::min(rest.size(), std::max(end.want, 4 * window));
        }
        if (end.v != verify::verdict::verified)
            continue;
        const verify::bytes file = rest.first(end.end);
        if (verify::check(f, file, std::uint32_t(cluster)) != verify::verdict::verified)
            continue;
        const verify::verdict carved = verify::carvedverdict(f, file, std::uint32_t(cluster));
        if (carved != verify::verdict::verified && carved != verify::verdict::plausible)
            broken("a carved verdict other than verified or plausible");
        if (carved == verify::verdict::verified && verify::blindtoforeign(f))
            broken("verified, yet its check cannot see a foreign cluster");
    }
    return 0;
}
