// The test support checked against the real tools: images from FatBuilder
// must pass fsck.fat and read back through mtools, and the mtools helpers
// must do what their comments say; the bad-sector device against O_DIRECT
// reads and GNU ddrescue.
#include "support/badblockdevice.h"
#include "support/fatbuilder.h"
#include "support/mtoolsimage.h"
#include "support/skip.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sys/mman.h>
#include <unistd.h>

using namespace testsupport;

namespace {

// Just enough of a FAT reader to look at what mtools wrote: the BPB, the
// first FAT and the root directory.
struct ImageView {
    QByteArray data;
    std::uint32_t bps = 0, spc = 0, reserved = 0, fats = 0, rootentries = 0, spf = 0, rootcluster = 0;
    bool fat32 = false;

    bool load(const QString& path)
    {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly))
            return false;
        data = f.readAll();
        bps = get16(at(11));
        spc = u8(13);
        reserved = get16(at(14));
        fats = u8(16);
        rootentries = get16(at(17));
        fat32 = get16(at(22)) == 0;
        spf = fat32 ? get32(at(36)) : get16(at(22));
        rootcluster = fat32 ? get32(at(44)) : 0;
        return bps != 0;
    }
    const unsigned char* at(std::uint64_t offset) const
    {
        return reinterpret_cast<const unsigned char*>(data.constData()) + offset;
    }
    std::uint32_t u8(std::uint64_t offset) const { return *at(offset); }
    std::uint64_t dataoffset() const
    {
        return (std::uint64_t(reserved) + fats * spf) * bps + (fat32 ? 0 : std::uint64_t(rootentries) * 32);
    }
    std::uint32_t fat(std::uint32_t c) const
    {
        const std::uint64_t base = std::uint64_t(reserved) * bps;
        return fat32 ? get32(at(base + 4 * c)) & 0x0FFFFFFF : get16(at(base + 2 * c));
    }
    // Offset of root slot i (within the first root cluster on FAT32).
    std::uint64_t rootslot(int i) const
    {
        const std::uint64_t root = fat32 ? dataoffset() + std::uint64_t(rootcluster - 2) * spc * bps
                                         : (std::uint64_t(reserved) + fats * spf) * bps;
        return root + std::uint64_t(i) * 32;
    }
    // The root slot whose 11 name bytes (after byte 0) match, or -1.
    int findroot(const QByteArray& name83, bool deleted) const
    {
        // Only the first root cluster on FAT32: the next need not follow it.
        const int count = fat32 ? int(spc * bps / 32) : int(rootentries);
        for (int i = 0; i < count; ++i) {
            const unsigned char* e = at(rootslot(i));
            const bool match = std::memcmp(e + 1, name83.constData() + 1, 10) == 0;
            if (match && e[11] != 0x0F && (deleted ? e[0] == 0xE5 : e[0] == std::uint8_t(name83[0])))
                return i;
        }
        return -1;
    }
    std::uint32_t startcluster(int slot) const
    {
        const unsigned char* e = at(rootslot(slot));
        return (fat32 ? std::uint32_t(get16(e + 20)) << 16 : 0) | get16(e + 26);
    }
    std::vector<std::uint32_t> chain(std::uint32_t start) const
    {
        std::vector<std::uint32_t> out;
        for (std::uint32_t c = start; c >= 2 && c < (fat32 ? 0x0FFFFFF8u : 0xFFF8u) && out.size() < 100000;
             c = fat(c))
            out.push_back(c);
        return out;
    }
};

bool contiguous(const std::vector<std::uint32_t>& chain)
{
    for (std::size_t i = 1; i < chain.size(); ++i) {
        if (chain[i] != chain[i - 1] + 1)
            return false;
    }
    return true;
}

class SupportTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString path(const char* name) const { return dir.filePath(QString::fromLatin1(name)); }
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }
};

}  // namespace

TEST(FatBuilderBytes, LittleEndianWritersAndNames)
{
    unsigned char b[4] = {};
    put32(b, 0x12345678);
    EXPECT_EQ(b[0], 0x78);
    EXPECT_EQ(b[3], 0x12);
    EXPECT_EQ(get32(b), 0x12345678u);
    put16(b, 0xBEEF);
    EXPECT_EQ(get16(b), 0xBEEF);
    EXPECT_EQ(b[0], 0xEF);
    EXPECT_EQ(shortname("README.TXT"), QByteArray("README  TXT"));
    EXPECT_EQ(shortname("A"), QByteArray("A          "));
    EXPECT_EQ(shortname(".."), QByteArray("..         "));
    EXPECT_THROW(shortname("TOOLONGNAME.TXT"), std::out_of_range);
    EXPECT_EQ(fatdate(2017, 1, 1), 0x4A21);
    EXPECT_EQ(fattime(23, 59, 58), (23 << 11) | (59 << 5) | 29);
}

TEST(FatBuilderBytes, PatternDataIsDeterministicAndClusterDistinct)
{
    const QByteArray a = patterndata(64 * 512 + 3, 7);
    EXPECT_EQ(a.size(), 64 * 512 + 3);
    EXPECT_EQ(a, patterndata(64 * 512 + 3, 7));
    EXPECT_NE(a.left(512), patterndata(512, 8));
    std::set<QByteArray> clusters;
    for (int i = 0; i < 64; ++i)
        clusters.insert(a.mid(i * 512, 512));
    EXPECT_EQ(clusters.size(), 64u);
}

TEST(FatBuilderBytes, BootSectorFields)
{
    FatBuilder f16(fat16layout());
    const unsigned char* b = f16.bytes().data();
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(b + 54), 8), QByteArray("FAT16   "));
    EXPECT_EQ(b[510], 0x55);
    EXPECT_EQ(b[511], 0xAA);
    EXPECT_EQ(get16(b + 11), 512);
    EXPECT_EQ(get16(b + 17), 512);
    EXPECT_EQ(f16.fat(0), 0xFFF8u);
    EXPECT_EQ(f16.bytes().size(), std::size_t(20) << 20);

    FatBuilder f32(fat32layout());
    b = f32.bytes().data();
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(b + 82), 8), QByteArray("FAT32   "));
    EXPECT_EQ(b[510], 0x55);
    EXPECT_EQ(b[511], 0xAA);
    EXPECT_EQ(get32(b + 44), 2u);
    EXPECT_EQ(f32.fat(2), f32.endmark());
    EXPECT_EQ(get32(b + 512), 0x41615252u);                       // FSInfo
    EXPECT_EQ(get32(b + 512 + 488), f32.clustercount() - 1);      // all free but the root
    EXPECT_EQ(std::memcmp(b, b + 6 * 512, 1024), 0);              // backup boot and FSInfo
    f32.addfile(0, 0, shortname("X"), patterndata(1500, 1));
    EXPECT_EQ(get32(b + 512 + 488), f32.clustercount() - 4);
}

TEST_F(SupportTest, Fat16BuiltImagePassesFsckAndReadsBack)
{
    FatBuilder fb(fat16layout());
    ASSERT_GE(fb.clustercount(), 4085u);  // else mtools and fsck.fat read FAT12
    ASSERT_LE(fb.clustercount(), 65524u);
    const QByteArray hello = patterndata(5000, 1);
    const QByteArray frag = patterndata(4 * 512 - 100, 2);
    const QByteArray inner = patterndata(700, 3);
    fb.addfile(0, 0, shortname("HELLO.TXT"), hello);
    fb.addfilechain(0, 1, shortname("FRAG.BIN"), frag, {300, 120, 301, 90});
    const std::uint32_t sub = fb.adddir(0, 2, shortname("SUB"));
    fb.addfile(sub, 2, shortname("INNER.DAT"), inner);
    fb.addfile(0, 3, shortname("EMPTY"), QByteArray());
    EXPECT_EQ(fb.fat(300), 120u);
    EXPECT_EQ(fb.fat(90), fb.endmark());

    const QString image = path("built16.img");
    ASSERT_TRUE(fb.save(image));
    EXPECT_EQ(QFileInfo(image).size(), 20 << 20);
    EXPECT_TRUE(fsckclean(image)) << lasterror();
    EXPECT_EQ(mtype(image, "HELLO.TXT"), hello) << lasterror();
    EXPECT_EQ(mtype(image, "FRAG.BIN"), frag) << lasterror();
    EXPECT_EQ(mtype(image, "SUB/INNER.DAT"), inner) << lasterror();
    const QByteArray empty = mtype(image, "EMPTY");
    EXPECT_FALSE(empty.isNull()) << lasterror();
    EXPECT_TRUE(empty.isEmpty());
    EXPECT_TRUE(mdir(image, "SUB").contains("INNER    DAT")) << lasterror();
}

TEST_F(SupportTest, Fat32BuiltImageWithHighAndFragmentedClusters)
{
    FatBuilder fb(fat32layout());
    ASSERT_GE(fb.clustercount(), 65525u);
    const QByteArray high = patterndata(3 * 512 + 1, 10);
    const QByteArray frag = patterndata(5 * 512, 11);
    const std::uint32_t start = fb.addfile(0, 0, shortname("HIGH.BIN"), high, 70000);
    EXPECT_EQ(start, 70000u);
    const QByteArray entry = fb.rawslot(0, 0);
    EXPECT_EQ(get16(reinterpret_cast<const unsigned char*>(entry.constData()) + 20), 1);  // 70000 >> 16
    fb.addfilechain(0, 1, shortname("FRAG.BIN"), frag, {66000, 40, 65535, 65536, 41});

    // A directory spanning three clusters: slots past the first cluster grow
    // its chain.
    const std::uint32_t big = fb.adddir(0, 2, shortname("BIGDIR"));
    QByteArray last;
    for (int i = 2; i < 40; ++i) {
        last = patterndata(100 + i, 100 + i);
        fb.addfile(big, i, shortname(QByteArray("F" + QByteArray::number(i)).constData()), last);
    }
    EXPECT_NE(fb.fat(big), fb.endmark());

    const QString image = path("built32.img");
    ASSERT_TRUE(fb.save(image));
    EXPECT_TRUE(fsckclean(image)) << lasterror();
    EXPECT_EQ(mtype(image, "HIGH.BIN"), high) << lasterror();
    EXPECT_EQ(mtype(image, "FRAG.BIN"), frag) << lasterror();
    EXPECT_EQ(mtype(image, "BIGDIR/F39"), last) << lasterror();
    const QByteArray listing = mdir(image, "BIGDIR");
    EXPECT_TRUE(listing.contains("F39 ")) << listing.toStdString();
    EXPECT_TRUE(listing.contains(" 40 files")) << listing.toStdString();  // with . and ..
}

TEST_F(SupportTest, BuilderDeleteMatchesMdel)
{
    FatBuilder fb(fat32layout());
    fb.addfile(0, 0, shortname("KEEP.TXT"), patterndata(900, 20));
    fb.addfile(0, 1, shortname("GONE.TXT"), patterndata(2000, 21), 70000);
    const QString byhand = path("byhand.img");
    const QString bytool = path("bytool.img");
    ASSERT_TRUE(fb.save(bytool));
    fb.deleteentry(0, 1);
    ASSERT_TRUE(fb.save(byhand));
    EXPECT_EQ(fb.fat(70000), 0u);
    EXPECT_EQ(std::uint8_t(fb.rawslot(0, 1)[0]), 0xE5);

    ASSERT_TRUE(mdel(bytool, "GONE.TXT")) << lasterror();
    EXPECT_TRUE(fsckclean(byhand)) << lasterror();
    ImageView mine, theirs;
    ASSERT_TRUE(mine.load(byhand));
    ASSERT_TRUE(theirs.load(bytool));
    // Same directory slot and same FATs; FSInfo aside (mtools also moves
    // the next-free hint).
    EXPECT_EQ(mine.data.mid(mine.rootslot(1), 32), theirs.data.mid(theirs.rootslot(1), 32));
    const qsizetype fats = qsizetype(mine.fats * mine.spf * mine.bps);
    EXPECT_TRUE(mine.data.mid(mine.reserved * mine.bps, fats) == theirs.data.mid(theirs.reserved * theirs.bps, fats));

    fb.deleteentry(0, 0, true, true);
    EXPECT_EQ(get16(reinterpret_cast<const unsigned char*>(fb.rawslot(0, 0).constData()) + 20), 0);
}

TEST_F(SupportTest, BuilderEdgeCases)
{
    FatBuilder fb(fat16layout());
    // A loop: deleting walks it once and stops.
    fb.addfilechain(0, 0, shortname("LOOP.BIN"), patterndata(1024, 30), {10, 11});
    fb.setfat(11, 10);
    fb.deleteentry(0, 0);
    EXPECT_EQ(fb.fat(10), 0u);
    EXPECT_EQ(fb.fat(11), 0u);
    // A subdirectory whose chain loops cannot grow without end.
    const std::uint32_t d = fb.adddir(0, 1, shortname("D"));
    fb.setfat(d, d);
    EXPECT_THROW(fb.putentry(d, 100000, FatBuilder::Entry{shortname("X"), 0x20}), std::out_of_range);
    EXPECT_THROW(fb.putentry(0, 512, FatBuilder::Entry{shortname("X"), 0x20}), std::out_of_range);
    EXPECT_THROW(fb.writecluster(2, QByteArray(513, 'x')), std::out_of_range);
    EXPECT_THROW(fb.clusteroffset(fb.lastcluster() + 1), std::out_of_range);

    const QString cut = path("cut.img");
    ASSERT_TRUE(fb.save(cut, 70000));
    QFile f(cut);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray head = f.readAll();
    EXPECT_EQ(head.size(), 70000);
    EXPECT_EQ(std::memcmp(head.constData(), fb.bytes().data(), 70000), 0);
    EXPECT_FALSE(fsckclean(cut));
}

TEST_F(SupportTest, MakefatMcopyMdelRoundTrip)
{
    const QString image = path("tool16.img");
    ASSERT_TRUE(makefat(image, 16, 20 << 20, 4, {"-r", "256"})) << lasterror();
    EXPECT_TRUE(fsckclean(image)) << lasterror();
    const QByteArray data = patterndata(10000, 40);
    const QString local = path("local.bin");
    ASSERT_TRUE(writefile(local, data));
    ASSERT_TRUE(mmd(image, "DIR")) << lasterror();
    ASSERT_TRUE(mcopy(image, local, "DIR/DATA.BIN")) << lasterror();
    ASSERT_TRUE(mcopy(image, local, "HELLO.TXT")) << lasterror();
    ASSERT_TRUE(mcopy(image, local, "HELLO.TXT")) << lasterror();  // replaces, no prompt
    const QString back = path("back.bin");
    ASSERT_TRUE(writefile(back, mtype(image, "DIR/DATA.BIN")));
    EXPECT_EQ(sha256(back), sha256(local));
    EXPECT_EQ(sha256(local).size(), 32);

    ImageView view;
    ASSERT_TRUE(view.load(image));
    EXPECT_EQ(view.rootentries, 256u);
    const int slot = view.findroot(shortname("HELLO.TXT"), false);
    ASSERT_GE(slot, 0);
    const std::uint32_t start = view.startcluster(slot);
    EXPECT_EQ(view.chain(start).size(), (10000u + 2047) / 2048);

    ASSERT_TRUE(mdel(image, "HELLO.TXT")) << lasterror();
    EXPECT_TRUE(mtype(image, "HELLO.TXT").isNull());
    EXPECT_FALSE(lasterror().empty());
    ASSERT_TRUE(view.load(image));
    EXPECT_EQ(view.findroot(shortname("HELLO.TXT"), true), slot);
    EXPECT_EQ(view.startcluster(slot), start);  // mdel keeps the start cluster
    EXPECT_EQ(view.fat(start), 0u);
    EXPECT_FALSE(mdel(image, "HELLO.TXT"));

    ASSERT_TRUE(mdeltree(image, "DIR")) << lasterror();
    EXPECT_TRUE(mtype(image, "DIR/DATA.BIN").isNull());
    EXPECT_TRUE(fsckclean(image)) << lasterror();
}

TEST_F(SupportTest, ToolTimesAreFixed)
{
    const QString local = path("t.txt");
    ASSERT_TRUE(writefile(local, "time"));
    const QDateTime when(QDate(2021, 3, 4), QTime(5, 6, 8));  // local time
    ASSERT_TRUE(setmtime(local, when));

    const QString a = path("a.img");
    const QString b = path("b.img");
    for (const QString& image : {a, b}) {
        ASSERT_TRUE(makefat(image, 32, 34 << 20, 1)) << lasterror();
        ASSERT_TRUE(mcopy(image, local, "NOW.TXT")) << lasterror();
        ASSERT_TRUE(mcopy(image, local, "KEPT.TXT", true)) << lasterror();
    }
    EXPECT_EQ(sha256(a), sha256(b));

    ImageView view;
    ASSERT_TRUE(view.load(a));
    const int kept = view.findroot(shortname("KEPT.TXT"), false);
    const int now = view.findroot(shortname("NOW.TXT"), false);
    ASSERT_GE(kept, 0);
    ASSERT_GE(now, 0);
    const unsigned char* k = view.at(view.rootslot(kept));
    EXPECT_EQ(get16(k + 24), fatdate(2021, 3, 4));
    EXPECT_EQ(get16(k + 22), fattime(5, 6, 8));
    EXPECT_EQ(get16(k + 16), fatdate(2021, 3, 4));  // creation too
    const QDateTime fixed = QDateTime::fromSecsSinceEpoch(tooloptions().now).toLocalTime();
    const unsigned char* n = view.at(view.rootslot(now));
    EXPECT_EQ(get16(n + 24), fatdate(fixed.date().year(), fixed.date().month(), fixed.date().day()));
    EXPECT_EQ(get16(n + 22), fattime(fixed.time().hour(), fixed.time().minute(), fixed.time().second()));
}

TEST_F(SupportTest, MtoolsNamesAndFragmentation)
{
    const QString image = path("frag32.img");
    ASSERT_TRUE(makefat(image, 32, 40 << 20, 1)) << lasterror();
    const QString la = path("a"), lb = path("b"), lc = path("c"), ld = path("d");
    ASSERT_TRUE(writefile(la, patterndata(3000, 1)));
    ASSERT_TRUE(writefile(lb, patterndata(3000, 2)));
    ASSERT_TRUE(writefile(lc, patterndata(3000, 3)));
    const QByteArray dd = patterndata(5000, 4);
    ASSERT_TRUE(writefile(ld, dd));
    ASSERT_TRUE(mcopy(image, la, "A")) << lasterror();
    ASSERT_TRUE(mcopy(image, lb, "B")) << lasterror();
    ASSERT_TRUE(mcopy(image, lc, "C")) << lasterror();
    ASSERT_TRUE(mdel(image, "B")) << lasterror();
    ASSERT_TRUE(resetfsinfohint(image)) << lasterror();
    ASSERT_TRUE(mcopy(image, ld, "D")) << lasterror();
    ASSERT_TRUE(mcopy(image, la, "A very long name.txt")) << lasterror();
    ASSERT_TRUE(mcopy(image, la, "lower.txt")) << lasterror();
    EXPECT_EQ(mtype(image, "D"), dd) << lasterror();
    EXPECT_TRUE(fsckclean(image)) << lasterror();

    ImageView view;
    ASSERT_TRUE(view.load(image));
    const int d = view.findroot(shortname("D"), false);
    ASSERT_GE(d, 0);
    const std::vector<std::uint32_t> chain = view.chain(view.startcluster(d));
    EXPECT_EQ(chain.size(), 10u);
    EXPECT_FALSE(contiguous(chain));  // filled B's hole, then went on past C

    const int lng = view.findroot(shortname("AVERYL~1.TXT"), false);
    ASSERT_GE(lng, 2);
    EXPECT_EQ(view.u8(view.rootslot(lng - 1) + 11), 0x0Fu);  // long-name slots before it
    EXPECT_EQ(view.u8(view.rootslot(lng - 2) + 11), 0x0Fu);
    const int low = view.findroot(shortname("LOWER.TXT"), false);
    ASSERT_GE(low, 0);
    EXPECT_NE(view.u8(view.rootslot(low - 1) + 11), 0x0Fu);  // no slot, only case bits
    EXPECT_EQ(view.u8(view.rootslot(low) + 12), 0x18u);

    // MTOOLS_NO_VFAT=1 only spares mixed-case 8.3 names their slot (and
    // stores them in lower case); long names still get slots.
    ScopedToolOptions noslots({tooloptions().now, false});
    ASSERT_TRUE(mcopy(image, la, "Mixed.txt")) << lasterror();
    ASSERT_TRUE(mcopy(image, la, "Another long name.txt")) << lasterror();
    ASSERT_TRUE(view.load(image));
    const int mixed = view.findroot(shortname("MIXED.TXT"), false);
    ASSERT_GE(mixed, 1);
    EXPECT_NE(view.u8(view.rootslot(mixed - 1) + 11), 0x0Fu);
    EXPECT_EQ(view.u8(view.rootslot(mixed) + 12), 0x18u);
    const int another = view.findroot(shortname("ANOTHE~1.TXT"), false);
    ASSERT_GE(another, 1);
    EXPECT_EQ(view.u8(view.rootslot(another - 1) + 11), 0x0Fu);
}

namespace {

// One O_DIRECT read of the device into a buffer that is, where the kernel
// allows, one huge page, so that the block layer can make requests as large
// as the loop device takes. 0 or the errno; *out gets the bytes.
int directread(const QString& dev, std::uint64_t offset, std::size_t size, QByteArray* out = nullptr)
{
    constexpr std::size_t huge = std::size_t(2) << 20;
    const std::size_t span = (size + huge - 1) / huge * huge + huge;
    void* map = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED)
        return errno;
    char* buf = reinterpret_cast<char*>((reinterpret_cast<std::uintptr_t>(map) + huge - 1) & ~(huge - 1));
    madvise(buf, span - huge, MADV_HUGEPAGE);
    std::memset(buf, 0, span - huge);
    int error = 0;
    const int fd = open(QFile::encodeName(dev).constData(), O_RDONLY | O_DIRECT | O_CLOEXEC);
    const ssize_t got = fd < 0 ? -1 : pread(fd, buf, size, off_t(offset));
    if (got < 0)
        error = errno;
    else if (std::size_t(got) != size)
        error = ENODATA;
    else if (out)
        *out = QByteArray(buf, qsizetype(size));
    if (fd >= 0)
        close(fd);
    munmap(map, span);
    return error;
}

class BadBlockTest : public SupportTest {
protected:
    QString image;
    QByteArray data;
    void SetUp() override
    {
        SupportTest::SetUp();
        QString why;
        if (!BadBlockDevice::available(&why))
            KOV_SKIP() << why.toStdString();
        image = path("card.img");
        data = patterndata(8 << 20, 60);
        ASSERT_TRUE(writefile(image, data));
    }
    QByteArray sector(std::uint64_t s) const { return data.mid(qsizetype(s * 512), 512); }
};

}  // namespace

TEST_F(BadBlockTest, BadSectorFailsAloneAndEveryAskIsCounted)
{
    BadBlockDevice dev(image, {{12003, 12003}, {4200, 4215}});
    ASSERT_TRUE(dev.ok()) << dev.why().toStdString();
    // Neighbours in the same 4 KiB page read fine: nothing widens the read.
    for (const std::uint64_t s : {12002, 12004}) {
        QByteArray got;
        EXPECT_EQ(directread(dev.path(), s * 512, 512, &got), 0) << s;
        EXPECT_TRUE(got == sector(s)) << s;
    }
    EXPECT_EQ(directread(dev.path(), 12003 * 512, 512), EIO);
    BadBlockCounts c = dev.counts();
    EXPECT_EQ(c.reads, 3u);
    EXPECT_EQ(c.bytes, 1024u);
    EXPECT_EQ(c.failed, 1u);
    EXPECT_EQ(c.asked, (std::map<std::uint64_t, std::uint32_t>{{12003, 1}}));

    // A 4 MiB read whose request holds the second range fails whole, and
    // the kernel asks for each of its sectors once.
    EXPECT_EQ(directread(dev.path(), 1 << 20, 4 << 20), EIO);
    c = dev.counts();
    EXPECT_EQ(c.asked.size(), 17u);
    for (std::uint64_t s = 4200; s <= 4215; ++s)
        EXPECT_EQ(c.asked[s], 1u) << s;
    EXPECT_LE(c.largest, std::uint64_t(1) << 20);
}

TEST_F(BadBlockTest, PaceSlowsTheDevice)
{
    const std::uint64_t pace = 4000000;  // 8 MiB in 2.1 s at the least
    qint64 unpaced = 0, paced = 0;
    for (const std::uint64_t rate : {std::uint64_t(0), pace}) {
        BadBlockDevice dev(image, {}, rate);
        ASSERT_TRUE(dev.ok()) << dev.why().toStdString();
        QElapsedTimer clock;
        clock.start();
        QByteArray got;
        EXPECT_EQ(directread(dev.path(), 0, std::size_t(data.size()), &got), 0);
        (rate ? paced : unpaced) = clock.elapsed();
        EXPECT_TRUE(got == data);
        // Exactly the bytes asked for, but for a probe: a parallel test that
        // lists the machine's volumes reads the head of every block device.
        EXPECT_GE(dev.counts().bytes, std::uint64_t(data.size()));
        EXPECT_LE(dev.counts().bytes, std::uint64_t(data.size()) + (std::uint64_t(1) << 20));
    }
    EXPECT_GE(paced, qint64(std::uint64_t(data.size()) * 1000 / pace) - 20);  // the clock's slack
    EXPECT_GT(paced, 3 * unpaced) << "unpaced " << unpaced << " ms";
}

TEST_F(BadBlockTest, DdrescueMapfileMarksExactlyTheBadSectors)
{
    if (QStandardPaths::findExecutable("ddrescue").isEmpty())
        KOV_SKIP() << "needs GNU ddrescue (gddrescue)";
    const std::vector<SectorRange> bad{{0, 0}, {3003, 3003}, {5000, 5015}, {16383, 16383}};
    BadBlockDevice dev(image, bad);
    ASSERT_TRUE(dev.ok()) << dev.why().toStdString();
    const QString copy = path("copy.img"), map = path("copy.map");
    ASSERT_TRUE(runtool("ddrescue", {"-d", "-b", "512", "-q", dev.path(), copy, map})) << lasterror();

    // The mapfile's blocks after its status line: position, size, status.
    std::vector<SectorRange> marked;
    std::uint64_t next = 0;
    bool status = false;
    for (const QByteArray& line : contents(map).split('\n')) {
        const QList<QByteArray> f = line.simplified().split(' ');
        if (line.startsWith('#') || f.size() != 3)
            continue;
        if (!status) {
            status = true;
            continue;
        }
        const std::uint64_t pos = f[0].toULongLong(nullptr, 0), size = f[1].toULongLong(nullptr, 0);
        EXPECT_EQ(pos, next) << "blocks leave a gap";
        next = pos + size;
        if (f[2] == "-")
            marked.push_back({pos / 512, (pos + size) / 512 - 1});
        else
            EXPECT_EQ(f[2], "+") << line.toStdString();
    }
    EXPECT_EQ(next, std::uint64_t(data.size()));
    ASSERT_EQ(marked.size(), bad.size());
    for (std::size_t i = 0; i < bad.size(); ++i) {
        EXPECT_EQ(marked[i].first, bad[i].first);
        EXPECT_EQ(marked[i].last, bad[i].last);
    }
    QByteArray expect = data;
    for (const SectorRange& r : bad)
        expect.replace(qsizetype(r.first * 512), qsizetype((r.last - r.first + 1) * 512),
                       QByteArray(qsizetype((r.last - r.first + 1) * 512), '\0'));
    // ddrescue writes no hole past its last good sector.
    QByteArray got = contents(copy);
    got.append(QByteArray(data.size() - got.size(), '\0'));
    EXPECT_TRUE(got == expect);
}
