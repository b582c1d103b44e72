#include "sweep/sweep.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

bool SWEEPBLOCK::readable(std::uint64_t from, std::uint64_t to) const { return unreadable(from, to) == 0; }

std::uint64_t SWEEPBLOCK::unreadable(std::uint64_t from, std::uint64_t to) const
{
    std::uint64_t n = 0;
    if (bad)
        for (const auto& [a, b] : *bad)
            if (a < to && b > from)
                n += std::min(b, to) - std::max(a, from);
    return n;
}

SWEEP::SWEEP(platform::volhandle source, std::uint64_t size) : handle(source), bytes(size)
{
    std::uint64_t offset = 0, length = 0;
    struct stat st;
    if (platform::descriptor(handle, &fd, &offset, &length) && fstat(fd, &st) == 0) {
        base = offset;
        // Only an image file has holes; a device is all data.
        sparse = S_ISREG(st.st_mode);
        // A device is read with O_DIRECT (platform/): read-ahead into the
        // page cache would read every block twice, and a bad sector once
        // more than the run allows.
        prefetch = S_ISREG(st.st_mode);
    } else {
        fd = -1;
    }
}

void SWEEP::finddata()
{
    if (datato > position)
        return;
    datafrom = position;
    datato = bytes;
    if (!sparse)
        return;
    const off_t data = lseek(fd, off_t(base + position), SEEK_DATA);
    if (data < 0) {
        if (errno == ENXIO)
            datafrom = bytes;  // holes to the end
        else
            sparse = false;  // a file system that cannot tell: all data
        return;
    }
    const off_t hole = lseek(fd, data, SEEK_HOLE);
    datafrom = std::min(bytes, std::max(position, std::uint64_t(data) - base));
    if (hole >= data)
        datato = std::min(bytes, std::uint64_t(hole) - base);
    if (datato <= datafrom)
        datato = bytes;
}

void SWEEP::readblock(std::uint64_t at, std::size_t n)
{
    bad.clear();
    // Read around the sectors that cannot be read, once each in the run:
    // one bad sector hides nothing beside it.
    std::vector<badsectors::BYTESPAN> missing;
    if (!platform::readsome(handle, at, std::uint32_t(n), buffer.get(), &missing)) {
        missing.assign(1, badsectors::BYTESPAN{0, n});
        std::memset(buffer.get(), 0, n);
    }
    std::uint64_t lost = 0;
    for (const badsectors::BYTESPAN& m : missing) {
        lost += m.length;
        bad.emplace_back(at + m.offset, at + m.offset + m.length);
    }
    unreadcount += lost;
    readcount += n - lost;
}

bool SWEEP::step()
{
    if (position >= bytes)
        return false;
    finddata();
    if (datafrom > position) {
        const std::uint64_t n = datafrom - position;
        for (SWEEPVISITOR* v : visitors)
            v->hole(position, n);
        holecount += n;
        position = datafrom;
        return position < bytes;
    }
    if (!buffer) {
        buffer.reset(new (std::nothrow) unsigned char[blockbytes]);
        if (!buffer) {
            outofmemory = true;
            position = bytes;
            return false;
        }
    }
    // Aligned blocks, cut at a hole's start and the source's end.
    const std::uint64_t end = std::min({(position / blockbytes + 1) * blockbytes, datato, bytes});
    const auto n = std::size_t(end - position);
    readblock(position, n);
    // The next block is on its way while this one is looked at.
    if (prefetch && end < bytes)
        posix_fadvise(fd, off_t(base + end), off_t(std::min(blockbytes, bytes - end)), POSIX_FADV_WILLNEED);
    const SWEEPBLOCK block{position, buffer.get(), n, &bad};
    for (SWEEPVISITOR* v : visitors)
        v->block(block);
    position = end;
    if (position >= bytes)
        buffer.reset();
    return position < bytes;
}
