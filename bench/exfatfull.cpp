// kov_exfatfull IMAGE SETS CLUSTERS: turns an image just made by
// mkfs.exfat into a full card whose deleted files lost their chains (as
// the FUSE driver leaves fragmented files): every heap cluster allocated
// but the first cluster of each file and the last twentieth of the heap,
// and SETS deleted FAT-chained files of CLUSTERS clusters each listed in
// the root, grown over as many clusters as they need. Rebuilding one
// passes over the allocated heap to the free clusters at its end
// (bench/exfat-full.sh times kov-recover on it).
#include "support/exfatimage.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: kov_exfatfull IMAGE SETS CLUSTERS\n");
        return 2;
    }
    const std::uint64_t clusters = std::strtoull(argv[3], nullptr, 10);
    testsupport::ExfatPatch p{QString::fromLocal8Bit(argv[1])};
    const long sets = std::atol(argv[2]);
    if (!p.ok() || sets <= 0)
        return 2;
    const std::uint32_t heap = p.heapclusters();
    const std::uint32_t root = p.rootcluster();
    const std::uint64_t perroot = p.clusterbytes / 32 / 3;  // sets of three entries
    const std::uint32_t rootclusters = std::uint32_t((sets + perroot - 1) / perroot) + 1;
    const std::uint32_t firstfile = root + rootclusters + 1;
    if (firstfile + std::uint64_t(sets) * 2 >= heap * 19ull / 20)
        return 3;
    for (std::uint32_t c = 2; c < 2 + heap * 19ull / 20; ++c)
        p.setbit(c, true);
    // The root grows over the clusters after its first (a set may run
    // from one into the next, which follows it on the card too).
    for (std::uint32_t i = 0; i + 1 < rootclusters; ++i)
        p.setfat(root + i, root + i + 1);
    p.setfat(root + rootclusters - 1, 0xFFFFFFFF);
    // After the entries mkfs.exfat wrote (bitmap, up-case table, label).
    std::uint64_t slot = 0;
    while (*p.at(p.clusteroffset(root) + slot * 32) != 0)
        ++slot;
    for (long i = 0; i < sets; ++i) {
        const std::uint32_t first = firstfile + std::uint32_t(i) * ((heap * 19u / 20 - firstfile) / std::uint32_t(sets));
        p.setbit(first, false);
        const std::uint64_t bytes = std::uint64_t(p.clusterbytes) * clusters;
        const std::uint32_t cluster = root + std::uint32_t(slot * 32 / p.clusterbytes);
        const std::uint64_t offset = p.clusteroffset(cluster) + slot * 32 % p.clusterbytes;
        slot += std::uint64_t(p.writeset(offset, QStringLiteral("f%1.bin").arg(i), false, false, false, first, bytes, bytes));
    }
    return p.save() ? 0 : 1;
}
