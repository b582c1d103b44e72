#include "spool/spool.h"

#include "platform/scratch.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace spool {

SPOOL::SPOOL(platform::volhandle source, std::uint64_t bytes, const QString& dir, std::uint64_t budget, bool imaging)
    : handle(source), keepholes(!imaging)
{
    room = std::min({platform::freespace(dir) / 2, bytes, budget});
    if (room == 0)
        return;
    scratch = platform::openscratch(dir);
    if (scratch >= 0)
        platform::readthrough(handle, this);
}

SPOOL::~SPOOL()
{
    platform::readthrough(handle, nullptr);
    platform::closescratch(scratch);
}

void SPOOL::stop()
{
    // What is kept stays served; nothing more is taken.
    room = tally.spooled;
    for (const auto& [from, to] : wants)
        tally.refused += to - from;
    wants.clear();
}

void SPOOL::giveback()
{
    if (scratch < 0)
        return;
    stop();
    platform::readthrough(handle, nullptr);
    platform::closescratch(scratch);
    scratch = -1;
    kept.clear();
    tally.givenback = true;
}

void SPOOL::want(std::uint64_t from, std::uint64_t to)
{
    from = std::max(from, swept);
    if (from >= to)
        return;
    if (scratch < 0 || tally.spooled >= room) {
        tally.refused += to - from;
        return;
    }
    // Merged with every want it meets or touches.
    auto it = wants.upper_bound(from);
    if (it != wants.begin() && std::prev(it)->second >= from)
        --it;
    while (it != wants.end() && it->first <= to) {
        from = std::min(from, it->first);
        to = std::max(to, it->second);
        it = wants.erase(it);
    }
    if (wants.size() >= maxwants) {
        tally.refused += to - from;
        return;
    }
    wants.emplace(from, to);
}

void SPOOL::passed(std::uint64_t end)
{
    swept = std::max(swept, end);
    while (!wants.empty() && wants.begin()->second <= swept)
        wants.erase(wants.begin());
    if (!wants.empty() && wants.begin()->first < swept) {
        const std::uint64_t to = wants.begin()->second;
        wants.erase(wants.begin());
        wants.emplace(swept, to);
    }
}

void SPOOL::keep(const SWEEPBLOCK& b, std::uint64_t from, std::uint64_t to)
{
    if (scratch < 0)
        return;
    // Whole sectors only, so a sector kept was read whole.
    from = (from + SWEEP::sector - 1) / SWEEP::sector * SWEEP::sector;
    // The source's last sector may be short: read as it is, kept as it is.
    if (to != b.at + b.n)
        to = to / SWEEP::sector * SWEEP::sector;
    if (from >= to)
        return;
    if (tally.spooled + (to - from) > room) {
        tally.refused += to - from;
        return;
    }
    const bool merge = !kept.empty() && kept.back().to == from && !kept.back().zeros;
    if (!merge && kept.size() >= maxextents) {
        tally.refused += to - from;
        return;
    }
    if (!platform::writescratch(scratch, tally.spooled, b.bytes + (from - b.at), to - from)) {
        tally.refused += to - from;
        stop();
        return;
    }
    if (merge)
        kept.back().to = to;
    else
        kept.push_back({from, to, tally.spooled});
    tally.spooled += to - from;
}

void SPOOL::keepzeros(std::uint64_t from, std::uint64_t to)
{
    if (scratch < 0)
        return;
    if (!kept.empty() && kept.back().to == from && kept.back().zeros) {
        kept.back().to = to;
        return;
    }
    if (kept.size() >= maxextents) {
        tally.refused += to - from;
        return;
    }
    kept.push_back({from, to, 0, true});
}

void SPOOL::block(const SWEEPBLOCK& b)
{
    const std::uint64_t end = b.at + b.n;
    passed(b.at);
    for (auto it = wants.begin(); it != wants.end() && it->first < end; ++it) {
        std::uint64_t from = std::max(it->first, b.at);
        const std::uint64_t to = std::min(it->second, end);
        // Around the sectors the sweep could not read: those stay the card's.
        if (b.bad)
            for (const auto& [x, y] : *b.bad) {
                if (y <= from || x >= to)
                    continue;
                if (x > from)
                    keep(b, from, x);
                from = std::max(from, y);
            }
        if (from < to)
            keep(b, from, to);
    }
    passed(end);
}

void SPOOL::hole(std::uint64_t at, std::uint64_t n)
{
    // Never read, and served as the zeros it is whoever asks (a start
    // judged on into it), but while an image is made, which holds what the
    // source was asked for.
    if (keepholes)
        keepzeros(at, at + n);
    passed(at + n);
}

std::uint64_t SPOOL::serve(std::uint64_t pos, std::uint64_t len, unsigned char* buf, std::uint64_t* unheld)
{
    auto it = std::upper_bound(kept.begin(), kept.end(), pos, [](std::uint64_t p, const EXTENT& e) { return p < e.from; });
    if (it != kept.begin() && std::prev(it)->to > pos) {
        const EXTENT& e = *std::prev(it);
        const std::uint64_t n = std::min(len, e.to - pos);
        if (e.zeros) {
            std::memset(buf, 0, n);
            tally.served += n;
            return n;
        }
        if (platform::readscratch(scratch, e.at + (pos - e.from), buf, n)) {
            tally.served += n;
            return n;
        }
        // The output disk failed it: the card is read as before.
        kept.clear();
        stop();
        *unheld = len;
        return 0;
    }
    *unheld = it == kept.end() ? len : std::min(len, it->from - pos);
    return 0;
}

}  // namespace spool
