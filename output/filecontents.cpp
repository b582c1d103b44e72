#include "output/filecontents.h"

#include <QCryptographicHash>

#include <algorithm>
#include <new>
#include <span>

namespace filecontents {

std::uint32_t clusterbytes(const KOVCore& core)
{
    // Padding after a file's end lies inside its last cluster.
    return std::uint32_t(std::min<std::uint64_t>(core.diskparm.clustersize(), 0xFFFFFFFF));
}

std::unique_ptr<unsigned char[]> readwhole(const KOVCore& core, const FILEPARM& file)
{
    if (file.size > wholereadlimit)
        return nullptr;
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[std::size_t(file.size)]);
    std::uint64_t got = 0;
    if (!buffer || !file.readfile(core.diskparm, 0, file.size, buffer.get(), &got) || got != file.size)
        return nullptr;
    return buffer;
}

bool plausible(const KOVCore& core, const FILEPARM& file, verify::family kind)
{
    return verify::mayverify(kind, file.size, [&](std::uint64_t offset, std::span<unsigned char> into) {
        std::uint64_t read = 0;
        return file.readfile(core.diskparm, offset, into.size(), into.data(), &read) && read == into.size();
    });
}

std::optional<QByteArray> provenhash(const KOVCore& core, const FILEPARM& file, verify::family kind)
{
    // A few clusters of its tail before the whole file.
    if (!plausible(core, file, kind))
        return std::nullopt;
    const std::unique_ptr<unsigned char[]> data = readwhole(core, file);
    if (!data || verify::check(kind, verify::bytes(data.get(), std::size_t(file.size)), clusterbytes(core)) !=
                     verify::verdict::verified)
        return std::nullopt;
    return QCryptographicHash::hash(QByteArrayView(data.get(), qsizetype(file.size)), QCryptographicHash::Sha256);
}

}  // namespace filecontents
