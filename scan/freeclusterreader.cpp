#include "scan/freeclusterreader.h"

#include "platform/volumesource.h"

#include <algorithm>
#include <new>
#include <vector>

FREECLUSTERREADER::FREECLUSTERREADER(const DISKPARM& d, std::uint64_t clusters,
                                     std::function<bool(std::uint64_t)> test, std::size_t room)
    : disk(d), count(clusters), eligible(std::move(test)), headroom(room), clustersize(d.clustersize())
{
}

bool FREECLUSTERREADER::begin()
{
    at = 0;
    readcount = 0;
    unreadcount = 0;
    lastfailed = false;
    outofmemory = false;
    if (count == 0 || clustersize == 0 || !eligible) {
        at = count;
        return false;
    }
    // Large reads, but no larger than the clusters there are to read.
    perread = std::clamp<std::uint64_t>(readbytes / clustersize, 1, count);
    buffer.reset(new (std::nothrow) unsigned char[headroom + perread * clustersize]);
    if (!buffer) {
        at = count;
        outofmemory = true;
        return false;
    }
    return true;
}

bool FREECLUSTERREADER::step(const std::function<void(const CLUSTERBLOCK&)>& visit)
{
    // Clusters in use are passed over a bounded number at a time, so that a
    // step stays short on a volume that is nearly full.
    for (std::uint64_t passed = 0; at < count && !eligible(at) && passed < skipperstep; ++passed)
        ++at;
    if (at >= count || !buffer) {
        at = count;
        buffer.reset();
        return false;
    }
    if (!eligible(at))
        return true;
    const std::uint64_t lcn = at;
    std::uint64_t n = 1;
    while (n < perread && lcn + n < count && eligible(lcn + n))
        ++n;
    unsigned char* const data = buffer.get() + headroom;
    std::vector<badsectors::BYTESPAN> missing;
    if (platform::readsome(disk.hdisk, disk.clusterposition(lcn), std::uint32_t(n * clustersize), data, &missing)) {
        if (missing.empty()) {
            lastfailed = false;
            readcount += n;
            visit(CLUSTERBLOCK{lcn, n, data, false});
        } else if (!lastfailed) {
            // The read went around its unreadable sectors: a cluster that
            // holds one is lost, the others are handed out one by one.
            lastfailed = true;
            for (std::uint64_t k = 0; k < n; ++k) {
                const std::uint64_t from = k * clustersize;
                if (badsectors::meets(missing, from, from + clustersize)) {
                    ++unreadcount;
                    continue;
                }
                lastfailed = false;
                ++readcount;
                visit(CLUSTERBLOCK{lcn + k, 1, data + from, true});
            }
        } else {
            unreadcount += n;
        }
    } else if (!lastfailed) {
        // The source ends inside the read: the clusters before its end
        // can still be read.
        lastfailed = true;
        for (std::uint64_t k = 0; k < n; ++k) {
            if (platform::readat(disk.hdisk, disk.clusterposition(lcn + k), std::uint32_t(clustersize), data)) {
                lastfailed = false;
                ++readcount;
                visit(CLUSTERBLOCK{lcn + k, 1, data, true});
            } else {
                ++unreadcount;
            }
        }
    } else {
        unreadcount += n;
    }
    at = lcn + n;
    return true;
}
