#include "badsectors/sectormap.h"

#include <algorithm>
#include <iterator>

namespace badsectors {

void addspan(std::vector<BYTESPAN>* spans, BYTESPAN span)
{
    if (span.length == 0)
        return;
    std::uint64_t begin = span.offset, end = span.offset + span.length;
    auto it = std::lower_bound(spans->begin(), spans->end(), begin,
                               [](const BYTESPAN& s, std::uint64_t at) { return s.offset + s.length < at; });
    auto last = it;
    while (last != spans->end() && last->offset <= end) {
        begin = std::min(begin, last->offset);
        end = std::max(end, last->offset + last->length);
        ++last;
    }
    it = spans->erase(it, last);
    spans->insert(it, BYTESPAN{begin, end - begin});
}

void appendspan(std::vector<BYTESPAN>* spans, BYTESPAN span)
{
    if (span.length == 0)
        return;
    if (!spans->empty() && spans->back().offset + spans->back().length >= span.offset) {
        BYTESPAN& last = spans->back();
        last.length = std::max(last.offset + last.length, span.offset + span.length) - last.offset;
    } else {
        spans->push_back(span);
    }
}

bool meets(const std::vector<BYTESPAN>& spans, std::uint64_t from, std::uint64_t to)
{
    const auto it = std::lower_bound(spans.begin(), spans.end(), from,
                                     [](const BYTESPAN& s, std::uint64_t at) { return s.offset + s.length <= at; });
    return it != spans.end() && it->offset < to;
}

bool SECTORSET::add(SECTORSPAN span)
{
    if (span.count == 0)
        return true;
    std::uint64_t begin = span.first, end = span.first + span.count;
    // The spans that touch [begin, end): from the last that begins at or
    // before it through those that begin by its end.
    auto it = ends.upper_bound(begin);
    if (it != ends.begin() && std::prev(it)->second >= begin)
        --it;
    if ((it == ends.end() || it->first > end) && ends.size() >= maxspans)
        return false;
    while (it != ends.end() && it->first <= end) {
        begin = std::min(begin, it->first);
        end = std::max(end, it->second);
        total -= it->second - it->first;
        it = ends.erase(it);
    }
    ends.emplace(begin, end);
    total += end - begin;
    return true;
}

SECTORSPAN SECTORSET::firstmet(SECTORSPAN span) const
{
    if (span.count == 0)
        return {};
    auto it = ends.upper_bound(span.first);
    if (it != ends.begin() && std::prev(it)->second > span.first)
        --it;
    if (it == ends.end() || it->first >= span.first + span.count)
        return {};
    return {it->first, it->second - it->first};
}

bool SECTORSET::contains(std::uint64_t sector) const { return firstmet({sector, 1}).count != 0; }

std::vector<SECTORSPAN> SECTORSET::spans() const
{
    std::vector<SECTORSPAN> out;
    out.reserve(ends.size());
    for (const auto& [first, end] : ends)
        out.push_back({first, end - first});
    return out;
}

SECTORSPAN SECTORSET::nearestbelow(std::uint64_t sector) const
{
    auto it = ends.lower_bound(sector);
    if (it == ends.begin()) {
        if (it == ends.end())
            return {};
    } else {
        --it;
    }
    return {it->first, it->second - it->first};
}

void SECTORMAP::markbad(SECTORSPAN span)
{
    if (badset.add(span))
        return;
    // Full: widen the nearest span below (or above) over this one, found in
    // the set's order: a map of many areas costs no copy of it per area.
    const SECTORSPAN near = badset.nearestbelow(span.first);
    if (near.first > span.first) {
        badset.add({span.first, near.first + near.count - span.first});
        return;
    }
    badset.add({near.first, span.first + span.count - near.first});
}

}  // namespace badsectors
