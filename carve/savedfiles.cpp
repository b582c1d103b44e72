#include "carve/savedfiles.h"

#include "model/fileparm.h"

#include <QCryptographicHash>
#include <memory>
#include <new>

namespace carve {

namespace {

constexpr std::uint64_t piece = 4u << 20;

}  // namespace

void SAVEDFILES::add(const FILEPARM& file, const DISKPARM& disk, std::optional<std::uint32_t> crc)
{
    if (entries.size() >= maxnotes || file.size == 0)
        return;
    ENTRY e;
    e.disk = disk;
    e.runs = file.dataruns;
    e.size = file.size;
    sizes.insert(file.size);
    if (crc) {
        e.crc = *crc;
        bycrc.emplace(key(file.size, *crc), entries.size());
    } else {
        bysize.emplace(file.size, entries.size());
    }
    entries.push_back(std::move(e));
}

void SAVEDFILES::note(const FILEPARM& file, const DISKPARM& disk, std::optional<std::uint32_t> crc)
{
    add(file, disk, crc);
}

void SAVEDFILES::notecarved(const FILEPARM& file, const DISKPARM& disk, verify::bytes data)
{
    add(file, disk, verify::crc32(data));
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

bool SAVEDFILES::holds(std::uint64_t size, const std::function<std::optional<std::uint32_t>()>& crcof,
                       const std::function<QByteArray()>& digestof)
{
    if (!sizes.count(size))
        return false;
    const auto [from, to] = bysize.equal_range(size);
    for (auto it = from; it != to; ++it) {
        ENTRY& e = entries[it->second];
        std::uint32_t c = 0;
        if (readpieces(e, [&](verify::bytes part) { c = verify::crc32(part, c); })) {
            e.crc = c;
            bycrc.emplace(key(size, c), it->second);
        }
    }
    bysize.erase(size);
    const std::optional<std::uint32_t> got = crcof();
    if (!got)
        return false;
    const std::uint32_t crc = *got;
    QByteArray digest;  // data's SHA-256, once a CRC-32 matches
    const auto [first, last] = bycrc.equal_range(key(size, crc));
    for (auto it = first; it != last; ++it) {
        ENTRY& e = entries[it->second];
        if (e.size != size || e.crc != crc)
            continue;
        if (e.digest.isEmpty() && !e.unreadable) {
            QCryptographicHash hash(QCryptographicHash::Sha256);
            if (readpieces(e, [&](verify::bytes part) {
                    hash.addData(QByteArrayView(part.data(), qsizetype(part.size())));
                }))
                e.digest = hash.result();
            else
                e.unreadable = true;
        }
        if (e.digest.isEmpty())
            continue;
        if (digest.isEmpty())
            digest = digestof();
        if (e.digest == digest)
            return true;
    }
    return false;
}

bool SAVEDFILES::holds(verify::bytes data)
{
    return holds(
        data.size(), [data] { return std::optional<std::uint32_t>(verify::crc32(data)); },
        [data] {
            return QCryptographicHash::hash(QByteArrayView(data.data(), qsizetype(data.size())),
                                            QCryptographicHash::Sha256);
        });
}

bool SAVEDFILES::holds(const FILEPARM& file, const DISKPARM& disk)
{
    ENTRY e;
    e.disk = disk;
    e.runs = file.dataruns;
    e.size = file.size;
    return holds(
        file.size,
        [&]() -> std::optional<std::uint32_t> {
            std::uint32_t c = 0;
            if (!readpieces(e, [&](verify::bytes part) { c = verify::crc32(part, c); }))
                return std::nullopt;
            return c;
        },
        [&] {
            QCryptographicHash hash(QCryptographicHash::Sha256);
            if (!readpieces(e, [&](verify::bytes part) {
                    hash.addData(QByteArrayView(part.data(), qsizetype(part.size())));
                }))
                return QByteArray();
            return hash.result();
        });
}

}  // namespace carve
