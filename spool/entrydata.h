// Where the files a found directory lists keep their data, as the lost
// files' rebuild will read it: from the start cluster on, contiguously.
#pragma once

#include <cstdint>
#include <functional>

namespace spool {

// Each file entry of a FAT directory cluster (bytes long): its start
// cluster and size. A deleted FAT32 entry whose high word is gone gives
// no start that can be trusted and is left out.
void fatentries(const unsigned char* cluster, std::uint64_t bytes, bool fat32,
                const std::function<void(std::uint32_t start, std::uint64_t size)>& each);

// The bytes [from, to) of the source that hold size bytes from cluster
// start on (cluster 2 at byte first, clusters of clusterbytes), clipped to
// total; from == to when there are none.
struct RANGE {
    std::uint64_t from = 0, to = 0;
};
RANGE clusterrange(std::uint64_t first, std::uint64_t clusterbytes, std::uint32_t start, std::uint64_t size,
                   std::uint64_t total);

}  // namespace spool
