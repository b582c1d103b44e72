// Writes the hand-made edge images of the fuzz seed corpus into a directory:
// small complete volumes with live and deleted files, and the damage the
// real tools never make (chain loops, cross-links, directories that point
// back, every byte in a name, big sectors, truncation).
#include "support/fatbuilder.h"

#include <QByteArray>
#include <QDir>
#include <QString>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>

using namespace testsupport;

namespace {

QByteArray filler(int size, char seed)
{
    QByteArray out(size, '\0');
    for (int i = 0; i < size; ++i)
        out[i] = char(seed + i * 7 + (i >> 8));
    return out;
}

// Live files, a subdirectory, deleted files at the root and below it.
void populate(FatBuilder& b)
{
    const std::uint32_t root = 0;
    b.addfile(root, 0, shortname("LIVE.TXT"), filler(1300, 'a'));
    b.addfile(root, 1, shortname("GONE.BIN"), filler(2000, 'b'));
    b.deleteentry(root, 1);
    const std::uint32_t sub = b.adddir(root, 2, shortname("SUB"));
    b.addfile(sub, 2, shortname("INNER.DAT"), filler(700, 'c'));
    b.addfile(sub, 3, shortname("LOST.DAT"), filler(3000, 'd'));
    b.deleteentry(sub, 3);
    b.addfile(root, 3, shortname("SMALL"), filler(10, 'e'));
    b.deleteentry(root, 3);
}

FatBuilder small16()
{
    FatBuilder b(fat16layout(64u << 10));
    populate(b);
    return b;
}

FatBuilder small32()
{
    FatBuilder b(fat32layout(128u << 10));
    populate(b);
    return b;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds DIR\n");
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    int failures = 0;
    auto save = [&](const char* name, const FatBuilder& b, std::uint64_t truncateto = ~0ull) {
        if (!b.save(dir.filePath(QString::fromLatin1(name)), truncateto)) {
            std::fprintf(stderr, "fuzz_seeds: cannot write %s\n", name);
            ++failures;
        }
    };
    auto make = [&](const char* name, const std::function<FatBuilder()>& build) {
        try {
            save(name, build());
        } catch (const std::exception& e) {
            std::fprintf(stderr, "fuzz_seeds: %s: %s\n", name, e.what());
            ++failures;
        }
    };

    make("fb16-plain.img", small16);
    make("fb32-plain.img", small32);
    make("fb32-highword.img", [] {
        // A deleted file whose high start word was erased: the estimate has
        // to find it from the minutes of live files.
        FatBuilder b = small32();
        b.addfile(0, 5, shortname("HIGH.BIN"), filler(900, 'h'));
        b.deleteentry(0, 5, true, true);
        return b;
    });
    make("fb16-chainloop.img", [] {
        FatBuilder b = small16();
        const std::uint32_t start = b.addfile(0, 6, shortname("LOOP.BIN"), filler(1500, 'l'));
        b.setfat(start + 2, start);
        return b;
    });
    make("fb32-crosslink.img", [] {
        FatBuilder b = small32();
        const std::uint32_t a = b.addfile(0, 6, shortname("A.BIN"), filler(1536, 'x'));
        b.addfilechain(0, 7, shortname("B.BIN"), filler(1024, 'y'), {b.firstfree(), a + 1});
        return b;
    });
    make("fb16-selfdir.img", [] {
        FatBuilder b = small16();
        const std::uint32_t d = b.adddir(0, 6, shortname("SELF"));
        FatBuilder::Entry e;
        e.name83 = shortname("AGAIN");
        e.attr = 0x10;
        e.startcluster = d;
        b.putentry(d, 2, e);
        return b;
    });
    make("fb32-parentdir.img", [] {
        FatBuilder b = small32();
        const std::uint32_t d = b.adddir(0, 6, shortname("UP"));
        const std::uint32_t d2 = b.adddir(d, 2, shortname("DOWN"));
        FatBuilder::Entry e;
        e.name83 = shortname("BACK");
        e.attr = 0x10;
        e.startcluster = d;
        b.putentry(d2, 2, e);
        e.name83 = shortname("ROOT");
        e.startcluster = b.layout().rootcluster;
        b.putentry(d2, 3, e);
        return b;
    });
    make("fb32-dirchainloop.img", [] {
        FatBuilder b = small32();
        const std::uint32_t d = b.adddir(0, 6, shortname("RING"));
        b.addfile(d, 2, shortname("IN.TXT"), filler(100, 'r'));
        b.addfile(d, 20, shortname("FAR.TXT"), filler(100, 's'));
        // The second cluster of the directory links back to the first.
        const std::uint32_t second =
            std::uint32_t((b.slotoffset(d, 20) - b.clusteroffset(2)) / b.clusterbytes() + 2);
        b.setfat(second, d);
        return b;
    });
    make("fb16-deep.img", [] {
        FatBuilder b(fat16layout(64u << 10));
        std::uint32_t d = 0;
        for (int level = 0; level < 20; ++level) {
            const std::uint32_t next = b.adddir(d, d == 0 ? 0 : 2, shortname("D"));
            b.addfile(next, 3, shortname("F.TXT"), filler(40, char(level)));
            b.deleteentry(next, 3);
            d = next;
        }
        return b;
    });
    make("fb16-allbytes.img", [] {
        // Every byte value in some deleted name: ten free bytes a name.
        FatBuilder b(fat16layout(64u << 10));
        for (int v = 0, slot = 0; v < 256; v += 10, ++slot) {
            QByteArray name(11, '\0');
            name[0] = char(0xE5);
            for (int i = 1; i < 11; ++i)
                name[i] = char((v + i - 1) & 0xFF);
            b.addfile(0, slot, shortname("X"), filler(64, char(v)));
            unsigned char raw[32];
            const QByteArray slotbytes = b.rawslot(0, slot);
            std::memcpy(raw, slotbytes.constData(), 32);
            std::memcpy(raw, name.constData(), 11);
            b.deleteentry(0, slot);
            b.putrawslot(0, slot, raw);
        }
        return b;
    });
    make("fb32-sector4096.img", [] {
        FatLayout l = fat32layout(256u << 10);
        l.bytespersector = 4096;
        l.totalsectors = (256u << 10) / 4096;
        l.reservedsectors = 8;
        FatBuilder b(l);
        populate(b);
        return b;
    });
    make("fb16-uncached.img", [] {
        // No FAT copies and a 65535-sector table: it cannot be cached, and
        // the root region lies on it, its slots doubling as entries.
        FatBuilder b(fat16layout(256u << 10));
        std::vector<unsigned char>& img = b.bytes();
        const std::size_t table = std::size_t(b.layout().reservedsectors) * 512;
        img[16] = 0;
        put16(img.data() + 17, 32);
        put16(img.data() + 22, 0xFFFF);
        // Taken entries up to cluster 4095, so that a rebuild searches
        // past them; free ones after.
        std::fill(img.begin() + std::ptrdiff_t(table + 32 * 32), img.begin() + std::ptrdiff_t(table + 8192),
                  0xFF);
        for (int k = 1; k < 9; ++k) {
            unsigned char* e = img.data() + table + std::size_t(k) * 32;
            std::memcpy(e, "\xE5" "GONE   BIN", 11);
            e[11] = 0x20;
            put16(e + 24, fatdate(2017, 1, 1));
            put16(e + 26, std::uint16_t(600 + 10 * k));
            put32(e + 28, 4096);
            put16(img.data() + table + std::size_t(600 + 10 * k) * 2, 0);
        }
        return b;
    });
    try {
        const FatBuilder b = small16();
        save("fb16-cutfat.img", b, 4 * 512 + 300);
        save("fb16-cutroot.img", b, (4 + 2 * b.layout().sectorsperfat) * 512 + 100);
        const FatBuilder c = small32();
        save("fb32-cutdata.img", c, c.clusteroffset(8) + 200);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "fuzz_seeds: truncated images: %s\n", e.what());
        ++failures;
    }
    return failures == 0 ? 0 : 1;
}
