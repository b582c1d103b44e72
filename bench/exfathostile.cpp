// kov_exfathostile IMAGE MODE SETS: turns an image just made by mkfs.exfat
// into a card whose SETS entry sets each ask for far more work than their
// bytes (bench/exfat-hostile.sh times kov-recover on it):
//   wholeheap   deleted files in the root, each claiming the whole heap
//               from its own first cluster on (FAT entry 0, the heap free):
//               none can be rebuilt;
//   shortchain  deleted folders lying in free clusters (the deep scan's
//               finds), all naming one live 65,535-cluster FAT chain one
//               cluster short of their length;
//   chainedfiles  deleted files in the root naming one 65,535-cluster FAT
//               chain over free clusters, one cluster short of their length,
//               the rest of the heap allocated: none can be rebuilt.
#include "support/exfatimage.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::uint32_t chainclusters = 65535;

// Grows the root over the clusters after it (allocated, chained) until
// sets sets of three entries fit after what mkfs.exfat wrote; returns the
// first slot free.
std::uint64_t growroot(testsupport::ExfatPatch& p, long sets, std::uint32_t* after)
{
    const std::uint32_t root = p.rootcluster();
    const std::uint64_t perroot = p.clusterbytes / 32 / 3;
    const std::uint32_t clusters = std::uint32_t((sets + perroot - 1) / perroot) + 1;
    for (std::uint32_t i = 0; i < clusters; ++i) {
        p.setbit(root + i, true);
        p.setfat(root + i, i + 1 < clusters ? root + i + 1 : 0xFFFFFFFF);
    }
    *after = root + clusters;
    std::uint64_t slot = 0;
    while (*p.at(p.clusteroffset(root) + slot * 32) != 0)
        ++slot;
    return slot;
}

// The offset of a root slot (the root is contiguous here).
std::uint64_t rootslot(const testsupport::ExfatPatch& p, std::uint64_t slot)
{
    return p.clusteroffset(p.rootcluster()) + slot * 32;
}

// A FAT chain of chainclusters clusters from first on.
void chain(testsupport::ExfatPatch& p, std::uint32_t first, bool allocated)
{
    for (std::uint32_t c = first; c < first + chainclusters; ++c) {
        p.setfat(c, c + 1 < first + chainclusters ? c + 1 : 0xFFFFFFFF);
        p.setbit(c, allocated);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: kov_exfathostile IMAGE wholeheap|shortchain|chainedfiles SETS\n");
        return 2;
    }
    testsupport::ExfatPatch p{QString::fromLocal8Bit(argv[1])};
    const long sets = std::atol(argv[3]);
    if (!p.ok() || sets <= 0)
        return 2;
    const std::uint32_t heap = p.heapclusters();
    const std::uint64_t cluster = p.clusterbytes;
    std::uint32_t after = 0;
    if (std::strcmp(argv[2], "wholeheap") == 0) {
        std::uint64_t slot = growroot(p, sets, &after);
        const std::uint64_t span = (heap + 2 - after) / std::uint64_t(sets);
        for (long i = 0; i < sets; ++i)
            slot += std::uint64_t(p.writeset(rootslot(p, slot), QStringLiteral("f%1.bin").arg(i), false, false, false,
                                             std::uint32_t(after + i * span), heap * cluster, heap * cluster));
    } else if (std::strcmp(argv[2], "chainedfiles") == 0) {
        std::uint64_t slot = growroot(p, sets, &after);
        if (after + 1 + chainclusters > heap + 2)
            return 3;
        chain(p, after + 1, false);
        for (std::uint32_t c = after + 1 + chainclusters; c < heap + 2; ++c)
            p.setbit(c, true);
        for (long i = 0; i < sets; ++i)
            slot += std::uint64_t(p.writeset(rootslot(p, slot), QStringLiteral("f%1.bin").arg(i), false, false, false,
                                             after + 1, (chainclusters + 1) * cluster, (chainclusters + 1) * cluster));
    } else if (std::strcmp(argv[2], "shortchain") == 0) {
        // The sets from the cluster after the root on, 42 to a cluster (an
        // end-of-directory slot in each), then the chain.
        const std::uint32_t first = p.rootcluster() + 1;
        const std::uint64_t percluster = cluster / 32 / 3;
        const std::uint32_t setclusters = std::uint32_t((sets + percluster - 1) / percluster);
        const std::uint32_t chainfirst = first + setclusters + 1;
        if (chainfirst + chainclusters > heap + 2)
            return 3;
        chain(p, chainfirst, true);
        for (long i = 0; i < sets; ++i) {
            const std::uint64_t offset = p.clusteroffset(first + std::uint32_t(i / percluster)) + (i % percluster) * 96;
            p.writeset(offset, QStringLiteral("d%1").arg(i), false, true, false, chainfirst,
                       (chainclusters + 1) * cluster, (chainclusters + 1) * cluster);
        }
    } else {
        return 2;
    }
    return p.save() ? 0 : 1;
}
