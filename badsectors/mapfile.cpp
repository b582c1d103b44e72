#include "badsectors/mapfile.h"

#include <QList>
#include <algorithm>

namespace badsectors {

namespace {

QByteArray hex(std::uint64_t n) { return "0x" + QByteArray::number(qulonglong(n), 16).rightJustified(8, '0'); }

}  // namespace

QByteArray mapfiletext(const SECTORMAP& map, std::uint64_t size, std::uint64_t offset)
{
    const std::uint64_t sector = map.sectorbytes();
    struct AREA {
        std::uint64_t pos, size;
        char status;
    };
    std::vector<AREA> areas;
    const auto add = [&](std::uint64_t pos, std::uint64_t end, char status) {
        end = std::min(end, offset + size);
        if (pos >= end)
            return;
        if (!areas.empty() && areas.back().status == status && areas.back().pos + areas.back().size == pos)
            areas.back().size += end - pos;
        else
            areas.push_back({pos, end - pos, status});
    };
    // Bad wins over read where a coarsened bad span covers read sectors.
    std::vector<std::pair<SECTORSPAN, char>> marks;
    for (const SECTORSPAN& s : map.read().spans())
        marks.push_back({s, '+'});
    for (const SECTORSPAN& s : map.bad().spans())
        marks.push_back({s, '-'});
    std::sort(marks.begin(), marks.end(), [](const auto& a, const auto& b) { return a.first.first < b.first.first; });
    std::uint64_t at = offset;
    for (std::size_t k = 0; k < marks.size(); ++k) {
        const std::uint64_t from = offset + marks[k].first.first * sector;
        std::uint64_t to = offset + (marks[k].first.first + marks[k].first.count) * sector;
        if (marks[k].second == '+')
            for (std::size_t j = k + 1; j < marks.size() && offset + marks[j].first.first * sector < to; ++j)
                if (marks[j].second == '-')
                    to = std::min(to, offset + marks[j].first.first * sector);
        add(at, from, '?');
        add(std::max(at, from), to, marks[k].second);
        at = std::max(at, to);
    }
    add(at, offset + size, '?');
    QByteArray text = "# Mapfile. Created by kov-recover: the sectors one run read (+) and could not read (-)\n"
                      "# current_pos  current_status  current_pass\n";
    text += hex(offset + size) + "     +               1\n";
    text += "#      pos        size  status\n";
    if (offset != 0)
        text += hex(0) + "  " + hex(offset) + "  ?\n";
    for (const AREA& a : areas)
        text += hex(a.pos) + "  " + hex(a.size) + "  " + a.status + "\n";
    return text;
}

std::optional<std::vector<BYTESPAN>> unrescued(const QByteArray& text)
{
    struct AREA {
        std::uint64_t pos, size;
        bool finished;
    };
    std::vector<AREA> areas;
    bool status = false;
    for (const QByteArray& raw : text.split('\n')) {
        const QByteArray line = raw.simplified();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const QList<QByteArray> f = line.split(' ');
        bool okpos = false, oksize = false;
        const std::uint64_t pos = f[0].toULongLong(&okpos, 0);
        if (!status) {
            // current_pos and one status character: a first line of
            // numbers is an area, and the status line is missing.
            if (!okpos || f.size() < 2 || f[1].size() != 1 || !QByteArray("?*/-FG+").contains(f[1][0]))
                return std::nullopt;
            status = true;
            continue;
        }
        if (!okpos || f.size() < 3 || f[2].size() != 1 || !QByteArray("?*/-+").contains(f[2][0]))
            return std::nullopt;
        const std::uint64_t size = f[1].toULongLong(&oksize, 0);
        if (!oksize)
            return std::nullopt;
        // A size to the end of the device runs to the last byte.
        if (size != 0)
            areas.push_back({pos, std::min(size, UINT64_MAX - pos), f[2][0] == '+'});
    }
    if (!status)
        return std::nullopt;
    // What no area covers was never tried, as ddrescue reads it: the gaps,
    // and everything past the last area (clamped to the source by whoever
    // takes the spans). Sorted once, so that a map in any order costs its
    // length.
    std::sort(areas.begin(), areas.end(), [](const AREA& x, const AREA& y) { return x.pos < y.pos; });
    std::vector<BYTESPAN> out;
    const auto add = [&out](std::uint64_t from, std::uint64_t to) {
        if (from < to)
            appendspan(&out, {from, to - from});
    };
    std::uint64_t covered = 0;
    for (const AREA& a : areas) {
        add(covered, a.pos);
        if (!a.finished)
            add(a.pos, a.pos + a.size);
        covered = std::max(covered, a.pos + a.size);
    }
    add(covered, UINT64_MAX);
    return out;
}

}  // namespace badsectors
