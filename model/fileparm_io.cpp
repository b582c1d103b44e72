// Reading a record's contents through its runs, and saving them to a file.
#include "model/fileparm.h"
#include "platform/stopsignals.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace {

// The most one device read asks for.
constexpr std::uint64_t maxread = 1 << 20;

}  // namespace

bool FILEPARM::readfile(DISKPARM disk, std::uint64_t offset, std::uint64_t length, unsigned char* buffer,
                        std::uint64_t* bytesread, std::vector<badsectors::BYTESPAN>* unreadable) const
{
    if (offset >= size || length == 0) {
        *bytesread = 0;
        return true;
    }
    if (length > size - offset)
        length = size - offset;
    if (dirbuf) {
        std::memcpy(buffer, dirbuf.get() + offset, length);
        *bytesread = length;
        return true;
    }
    if (offset + length > validsize) {
        // The stored part through the clusters, the rest zeros.
        const std::uint64_t stored = offset < validsize ? validsize - offset : 0;
        std::uint64_t got = 0;
        if (stored != 0 && !readstored(disk, offset, stored, buffer, &got, unreadable))
            return false;
        std::memset(buffer + stored, 0, length - stored);
        *bytesread = length;
        return true;
    }
    return readstored(disk, offset, length, buffer, bytesread, unreadable);
}

bool FILEPARM::readstored(DISKPARM disk, std::uint64_t offset, std::uint64_t length, unsigned char* buffer,
                          std::uint64_t* bytesread, std::vector<badsectors::BYTESPAN>* unreadable) const
{
    const std::uint64_t clustersize = disk.clustersize();
    if (clustersize == 0)
        return false;

    const std::uint64_t firstindex = offset / clustersize;
    const std::uint64_t skip = offset % clustersize;
    const std::uint64_t lastindex = (offset + length - 1) / clustersize;
    const std::uint64_t tailrem = (offset + length) % clustersize;
    const std::uint64_t tail = tailrem == 0 ? clustersize : tailrem;

    // count clusters from file cluster index on, at lcn on the volume.
    auto readclusters = [&](std::uint64_t index, std::uint64_t lcn, std::uint64_t count, unsigned char* into) {
        const std::uint32_t bytes = std::uint32_t(count * clustersize);
        if (!unreadable)
            return platform::readat(disk.hdisk, disk.clusterposition(lcn), bytes, into);
        std::vector<badsectors::BYTESPAN> missing;
        if (!platform::readsome(disk.hdisk, disk.clusterposition(lcn), bytes, into, &missing))
            return false;
        const std::uint64_t from = index * clustersize, end = offset + length;
        for (const badsectors::BYTESPAN& m : missing) {
            const std::uint64_t first = std::max(offset, from + m.offset), last = std::min(end, from + m.offset + m.length);
            if (first < last)
                badsectors::addspan(unreadable, {first, last - first});
        }
        return true;
    };
    auto readcluster = [&](std::uint64_t index, unsigned char* into) {
        const std::uint64_t lcn = vcn2lcn(index);
        return lcn != ~std::uint64_t(0) && readclusters(index, lcn, 1, into);
    };

    // Partial clusters pass through a scratch cluster; whole ones go
    // straight into the caller's buffer.
    std::unique_ptr<unsigned char[]> scratch(new (std::nothrow) unsigned char[clustersize]);
    if (!scratch || !readcluster(firstindex, scratch.get()))
        return false;
    std::uint64_t out = std::min(clustersize - skip, length);
    std::memcpy(buffer, scratch.get() + skip, out);

    // Whole clusters that lie next to each other on the volume are read
    // with one call: the bytes are the same, the calls far fewer.
    for (std::uint64_t index = firstindex + 1; index < lastindex;) {
        const std::uint64_t lcn = vcn2lcn(index);
        if (lcn == ~std::uint64_t(0))
            return false;
        std::uint64_t count = 1;
        while (index + count < lastindex && (count + 1) * clustersize <= maxread &&
               vcn2lcn(index + count) == lcn + count)
            ++count;
        if (!readclusters(index, lcn, count, buffer + out))
            return false;
        out += count * clustersize;
        index += count;
    }
    if (lastindex > firstindex) {
        if (!readcluster(lastindex, scratch.get()))
            return false;
        std::memcpy(buffer + out, scratch.get(), tail);
        out += tail;
    }
    *bytesread = out;
    return true;
}

int FILEPARM::saveas(DISKPARM disk, const char* path) const
{
    // "x": exclusive creation, so that no save ever replaces a file that is
    // already there (an earlier recovery, a user's file).
    std::FILE* file = std::fopen(path, "wbx");
    return file ? writeto(disk, file) : 1;
}

int FILEPARM::saveas(DISKPARM disk, const platform::OUTFOLDER& folder, const QString& name,
                     std::vector<badsectors::BYTESPAN>* unreadable,
                     const std::function<void(const unsigned char*, std::size_t)>& wrote) const
{
    std::FILE* file = platform::createfile(folder, name);
    return file ? writeto(disk, file, unreadable, wrote) : 1;
}

int FILEPARM::writeto(DISKPARM disk, std::FILE* file, std::vector<badsectors::BYTESPAN>* unreadable,
                      const std::function<void(const unsigned char*, std::size_t)>& wrote) const
{
    const std::uint64_t clustersize = disk.clustersize();
    // Steps of up to 1 MiB (whole clusters), so that memory does not grow
    // with the file and contiguous clusters take one read each.
    const std::uint64_t step = clustersize == 0 ? 0 : std::max(clustersize, maxread / clustersize * clustersize);
    std::unique_ptr<unsigned char[]> scratch(step ? new (std::nothrow) unsigned char[step] : nullptr);
    if (size > 0 && !scratch) {
        std::fclose(file);
        return 2;
    }
    for (std::uint64_t offset = 0; offset < size; offset += step) {
        // Asked to stop: the caller removes what this file has so far.
        if (platform::stopsignal() != 0) {
            std::fclose(file);
            return 4;
        }
        std::uint64_t got = 0;
        if (!readfile(disk, offset, step, scratch.get(), &got, unreadable)) {
            // Keep every cluster that can be read before the one that fails.
            for (std::uint64_t at = offset; at < std::min(size, offset + step); at += clustersize) {
                if (!readfile(disk, at, clustersize, scratch.get(), &got))
                    break;
                if (std::fwrite(scratch.get(), got, 1, file) != 1) {
                    std::fclose(file);
                    return 3;
                }
            }
            std::fclose(file);
            return 2;
        }
        if (std::fwrite(scratch.get(), got, 1, file) != 1) {
            std::fclose(file);
            return 3;
        }
        if (wrote)
            wrote(scratch.get(), std::size_t(got));
    }
    // A full disk often shows only when the buffered tail is flushed: that
    // is a write failure too, never a success.
    if (std::fclose(file) != 0)
        return 3;
    return 0;
}
