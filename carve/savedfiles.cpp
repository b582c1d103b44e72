#include "carve/savedfiles.h"

#include "model/fileparm.h"

#include <cstring>
#include <memory>
#include <new>

namespace carve {

namespace {

constexpr std::uint64_t piece = 4u << 20;

}  // namespace

void SAVEDFILES::note(const FILEPARM& file, const DISKPARM& disk)
{
    if (entries.size() >= maxnotes || file.size == 0)
        return;
    ENTRY e;
    e.disk = disk;
    e.runs = file.dataruns;
    e.size = file.size;
    bysize.emplace(file.size, entries.size());
    entries.push_back(std::move(e));
}

void SAVEDFILES::notecarved(const FILEPARM& file, const DISKPARM& disk, verify::bytes data)
{
    const std::size_t before = entries.size();
    note(file, disk);
    if (entries.size() != before)
        entries.back().crc = verify::crc32(data);
}

bool SAVEDFILES::readpieces(const ENTRY& e, const std::function<void(verify::bytes)>& each) const
{
    FILEPARM f;
    f.dataruns = e.runs;
    f.size = e.size;
    const std::uint64_t length = std::min(piece, e.size);
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[std::size_t(length)]);
    if (!buffer)
        return false;
    for (std::uint64_t offset = 0; offset < e.size;) {
        std::uint64_t got = 0;
        const std::uint64_t n = std::min(piece, e.size - offset);
        if (!f.readfile(e.disk, offset, n, buffer.get(), &got) || got != n)
            return false;
        each(verify::bytes(buffer.get(), std::size_t(n)));
        offset += n;
    }
    return true;
}

void SAVEDFILES::eachextent(const std::function<void(std::uint64_t, std::uint64_t)>& each) const
{
    for (const ENTRY& e : entries) {
        const std::uint64_t size = e.disk.clustersize();
        std::uint64_t left = e.size;
        for (const DATARUN& run : e.runs) {
            if (left == 0 || size == 0)
                break;
            const std::uint64_t bytes = run.length > left / size ? left : run.length * size;
            const std::uint64_t from = e.disk.clusterposition(run.lcn);
            each(from, from + bytes);
            left -= bytes;
        }
    }
}

bool SAVEDFILES::holds(verify::bytes data)
{
    const auto [from, to] = bysize.equal_range(data.size());
    if (from == to)
        return false;
    const std::uint32_t crc = verify::crc32(data);
    for (auto it = from; it != to; ++it) {
        ENTRY& e = entries[it->second];
        if (!e.crc && !e.unreadable) {
            std::uint32_t c = 0;
            if (readpieces(e, [&](verify::bytes part) { c = verify::crc32(part, c); }))
                e.crc = c;
            else
                e.unreadable = true;
        }
        if (e.crc != crc)
            continue;
        std::size_t offset = 0;
        bool same = true;
        if (readpieces(e, [&](verify::bytes part) {
                same = same && std::memcmp(part.data(), data.data() + offset, part.size()) == 0;
                offset += part.size();
            }) &&
            same)
            return true;
    }
    return false;
}

}  // namespace carve
