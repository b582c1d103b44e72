// The directory tree walk, driven the way its caller drives it, over images
// made by mkfs.fat/mtools and, for what the tools never make, by the image
// builder.
#include "support/fatbuilder.h"
#include "support/mtoolsimage.h"
#include "support/recordingcore.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>

using namespace testsupport;

static void PrintTo(const DATARUN& r, std::ostream* os)
{
    *os << "{lcn " << r.lcn << ", length " << r.length << ", vcn " << r.vcn << "}";
}

namespace {

using Runs = std::vector<DATARUN>;

struct Found {
    QByteArray path;  // names from the root, joined by '/'
    FILEPARM rec;
};

struct Walk {
    std::vector<Found> found;
    std::vector<int> codes;  // every result of getnextfile, in order
    bool ended = false;

    std::vector<QByteArray> paths() const
    {
        std::vector<QByteArray> out;
        for (const Found& f : found)
            out.push_back(f.path);
        return out;
    }
    const FILEPARM& at(const QByteArray& path) const
    {
        for (const Found& f : found)
            if (f.path == path)
                return f.rec;
        static const FILEPARM none;
        ADD_FAILURE() << "not found: " << path.toStdString();
        return none;
    }
};

// Drives the walk from the root as its caller must: -1 continues in the
// parent; a directory with contents gets a copy of the current directory as
// its parent and is entered unless it repeats an ancestor.
Walk walktree(KOVCore& core, int mode)
{
    Walk w;
    FILEPARM dir = core.rootdir;
    std::vector<QByteArray> stack;
    for (int step = 0; step < 200000; ++step) {
        FILEPARM out;
        out.dialog = &core;
        const int r = dir.getnextfile(out, mode);
        w.codes.push_back(r);
        if (r == -2) {
            w.ended = true;
            return w;
        }
        if (r == -1) {
            if (stack.empty()) {
                ADD_FAILURE() << "-1 at the root";
                return w;
            }
            stack.pop_back();
            dir = out;
            continue;
        }
        if (r <= 0) {
            ADD_FAILURE() << "result " << r;
            return w;
        }
        QByteArray path;
        for (const QByteArray& s : stack)
            path += s + '/';
        path += out.namebytes();
        w.found.push_back({path, out});
        if (out.isdir && out.size != 0) {
            out.parent = std::make_unique<FILEPARM>(dir);
            if (!core.detectloop(out)) {
                stack.push_back(out.namebytes());
                dir = out;
            }
        }
    }
    ADD_FAILURE() << "the walk did not end";
    return w;
}

QByteArray contents(KOVCore& core, const FILEPARM& f)
{
    QByteArray out(qsizetype(f.size), '\0');
    std::uint64_t got = 0;
    if (!f.readfile(core.diskparm, 0, f.size, reinterpret_cast<unsigned char*>(out.data()), &got))
        return "<unreadable>";
    out.resize(qsizetype(got));
    return out;
}

std::uint64_t clustersof(const FILEPARM& f)
{
    std::uint64_t n = 0;
    for (const DATARUN& r : f.dataruns) {
        EXPECT_EQ(r.vcn, n) << f.namebytes().toStdString();
        n += r.length;
    }
    return n;
}

// Start cluster named by the "." slot at the head of a directory's contents.
std::uint32_t dotcluster(const FILEPARM& d)
{
    if (!d.dirbuf || d.size < 32 || d.dirbuf[0] != '.' || d.dirbuf[1] != ' ')
        return 0;
    return std::uint32_t(get16(d.dirbuf.get() + 20)) << 16 | get16(d.dirbuf.get() + 26);
}

QByteArray lines(const std::vector<QByteArray>& v)
{
    QByteArray out;
    for (const QByteArray& s : v)
        out += s.toPercentEncoding("/~.") + '\n';
    return out;
}

#define EXPECT_PATHS(walk, ...) \
    EXPECT_EQ(lines((walk).paths()).toStdString(), lines(std::vector<QByteArray>{__VA_ARGS__}).toStdString())

class WalkBase : public ::testing::Test {
protected:
    QTemporaryDir dir;
    RecordingCore core;

    void openbuilt(const FatBuilder& b, std::uint64_t truncateto = ~std::uint64_t(0))
    {
        const QString path = dir.filePath("built.img");
        ASSERT_TRUE(b.save(path, truncateto));
        core.openimage(path);
        ASSERT_TRUE(core.warnings.isEmpty()) << core.warnings.join(';').toStdString();
    }
    QString local(const QByteArray& data, const QDateTime& mtime = {})
    {
        const QString path = dir.filePath(QStringLiteral("local%1.bin").arg(++locals));
        EXPECT_TRUE(writefile(path, data)) << lasterror();
        if (mtime.isValid()) {
            EXPECT_TRUE(setmtime(path, mtime)) << lasterror();
        }
        return path;
    }
    int locals = 0;
};

// Builder images for FAT16 and FAT32.
class BuiltWalk : public WalkBase, public ::testing::WithParamInterface<int> {
protected:
    FatBuilder b{GetParam() == 16 ? fat16layout() : fat32layout()};
    bool fat32() const { return GetParam() == 32; }
};

// mkfs.fat + mtools images for FAT16 and FAT32.
class ToolWalk : public WalkBase, public ::testing::WithParamInterface<int> {
protected:
    QString image;
    void SetUp() override
    {
        image = dir.filePath("tool.img");
        ASSERT_TRUE(makefat(image, GetParam(), GetParam() == 16 ? 20u << 20 : 40u << 20, 1)) << lasterror();
    }
    void copy(const QByteArray& data, const QString& fatpath, const QDateTime& mtime = {})
    {
        ASSERT_TRUE(mcopy(image, local(data, mtime), fatpath, mtime.isValid())) << lasterror();
    }
};

std::string widthname(const ::testing::TestParamInfo<int>& info) { return "Fat" + std::to_string(info.param); }

}  // namespace

TEST_P(BuiltWalk, PreOrderWithMinusOneAndMinusTwo)
{
    b.addfile(0, 0, shortname("A.TXT"), "alpha");
    const std::uint32_t d = b.adddir(0, 1, shortname("D"));
    b.addfile(d, 2, shortname("B.TXT"), "bravo");
    // Empty slots, and a name that begins with a full stop, lie before C.
    FatBuilder::Entry dotted;
    dotted.name83 = QByteArray(".HID       ");
    dotted.startcluster = b.firstfree();
    dotted.size = 3;
    b.setfat(dotted.startcluster, b.endmark());
    b.putentry(0, 3, dotted);
    b.addfile(0, 5, shortname("C.TXT"), "charlie");
    openbuilt(b);

    FILEPARM cur = core.rootdir;
    FILEPARM out;
    out.dialog = &core;
    EXPECT_EQ(cur.getnextfile(out, 1), 1);
    EXPECT_EQ(out.namebytes(), "A.TXT");
    EXPECT_EQ(contents(core, out), "alpha");
    EXPECT_EQ(cur.getnextfile(out, 1), 2);
    EXPECT_EQ(out.namebytes(), "D");
    ASSERT_EQ(out.isdir, 1);
    EXPECT_EQ(out.startcluster, d);
    out.parent = std::make_unique<FILEPARM>(cur);
    ASSERT_FALSE(core.detectloop(out));
    cur = out;
    EXPECT_EQ(cur.getnextfile(out, 1), 3);  // after "." and ".."
    EXPECT_EQ(out.namebytes(), "B.TXT");
    EXPECT_EQ(contents(core, out), "bravo");
    EXPECT_EQ(cur.getnextfile(out, 1), -1);
    // Back in the root, just after D.
    EXPECT_EQ(out.namebytes(), "\\");
    EXPECT_EQ(out.entryindex, 2u);
    EXPECT_TRUE(out.parent == nullptr);
    cur = out;
    EXPECT_EQ(cur.getnextfile(out, 1), 6);
    EXPECT_EQ(out.namebytes(), "C.TXT");
    EXPECT_EQ(contents(core, out), "charlie");
    EXPECT_EQ(cur.getnextfile(out, 1), -2);
    EXPECT_EQ(cur.getnextfile(out, 1), -2);
}

TEST_P(BuiltWalk, CreationDateCountsOnFat32Only)
{
    struct Case {
        const char* name;
        std::uint16_t crtdate, wrtdate;
    };
    const Case cases[] = {{"GOOD.TXT", fatdate(2010, 5, 5), fatdate(2010, 5, 6)},
                          {"NOMONTH.TXT", fatdate(2010, 0, 5), fatdate(2010, 5, 6)},
                          {"LATE.TXT", fatdate(2039, 1, 1), fatdate(2010, 5, 6)},
                          {"ZERO.TXT", 0, fatdate(2010, 5, 6)},
                          {"BADWRITE.TXT", fatdate(2010, 5, 5), fatdate(2010, 5, 0)}};
    int slot = 0;
    for (const Case& c : cases) {
        FatBuilder::Entry e;
        e.name83 = shortname(c.name);
        e.crtdate = c.crtdate;
        e.wrtdate = c.wrtdate;
        e.startcluster = b.firstfree(50);
        e.size = 20;
        b.setfat(e.startcluster, b.endmark());
        b.putentry(0, slot++, e);
    }
    openbuilt(b);
    const Walk w = walktree(core, 1);
    if (fat32()) {
        EXPECT_PATHS(w, "GOOD.TXT");
    } else {
        EXPECT_PATHS(w, "GOOD.TXT", "NOMONTH.TXT", "LATE.TXT", "ZERO.TXT");
    }
}

TEST_P(BuiltWalk, DeletedDirectoryMarksEverythingInside)
{
    const std::uint32_t d = b.adddir(0, 0, shortname("OLD"));
    const QByteArray data = patterndata(3000, 5);
    const std::uint32_t f = b.addfile(d, 2, shortname("INSIDE.BIN"), data, 300);
    const std::uint32_t s = b.adddir(d, 3, shortname("SUB"), 400);
    b.addfile(s, 2, shortname("DEEP.TXT"), "deep", 500);
    b.addfile(0, 1, shortname("LIVE.TXT"), "live", 600);
    // The directory is deleted; its entries keep their first bytes, but
    // their clusters were released with it.
    b.deleteentry(0, 0);
    for (std::uint32_t c = f; c < f + 6; ++c)
        b.setfat(c, 0);
    b.setfat(s, 0);
    b.setfat(500, 0);
    openbuilt(b);

    EXPECT_PATHS(walktree(core, 1), "LIVE.TXT");
    const Walk w = walktree(core, 0);
    EXPECT_PATHS(w, "\xE5LD", "\xE5LD/INSIDE.BIN", "\xE5LD/SUB", "\xE5LD/SUB/DEEP.TXT", "LIVE.TXT");
    for (const Found& e : w.found)
        EXPECT_EQ(e.rec.deleted, e.path == "LIVE.TXT" ? 0 : 1) << e.path.toStdString();
    EXPECT_EQ(contents(core, w.at("\xE5LD/INSIDE.BIN")), data);
    EXPECT_EQ(contents(core, w.at("\xE5LD/SUB/DEEP.TXT")), "deep");
    // A deleted directory is rebuilt as one cluster.
    EXPECT_EQ(w.at("\xE5LD").dataruns, (Runs{{d - 2, 1, 0}}));
    EXPECT_EQ(w.at("\xE5LD").size, b.clusterbytes());
}

TEST_P(BuiltWalk, AncestorRepeatsAreHandedOutNotEntered)
{
    const std::uint32_t d = b.adddir(0, 0, shortname("D"));
    FatBuilder::Entry up;
    up.attr = 0x10;
    up.name83 = shortname("SELF");
    up.startcluster = d;  // its parent
    b.putentry(d, 2, up);
    const std::uint32_t g = b.adddir(d, 3, shortname("G"));
    up.name83 = shortname("GRAND");
    b.putentry(g, 2, up);  // its grandparent
    b.addfile(d, 4, shortname("F.TXT"), "f");
    if (fat32()) {
        up.name83 = shortname("ROOT");
        up.startcluster = b.layout().rootcluster;
        b.putentry(d, 5, up);
    }
    b.addfile(0, 1, shortname("AFTER.TXT"), "after");
    openbuilt(b);
    const Walk w = walktree(core, 1);
    ASSERT_TRUE(w.ended);
    if (fat32()) {
        EXPECT_PATHS(w, "D", "D/SELF", "D/G", "D/G/GRAND", "D/F.TXT", "D/ROOT", "AFTER.TXT");
    } else {
        EXPECT_PATHS(w, "D", "D/SELF", "D/G", "D/G/GRAND", "D/F.TXT", "AFTER.TXT");
    }
    EXPECT_EQ(w.at("D/SELF").isdir, 1);
    EXPECT_NE(w.at("D/SELF").size, 0u);
}

TEST_P(BuiltWalk, LoopingChainsDoNotStopTheWalk)
{
    FatBuilder::Entry e;
    e.name83 = shortname("LOOPF.BIN");
    e.startcluster = 100;
    e.size = 1000;
    b.setfat(100, 101);
    b.setfat(101, 100);
    b.putentry(0, 0, e);
    const std::uint32_t d = b.adddir(0, 1, shortname("LOOPD"), 200);
    b.addfile(d, 2, shortname("INNER.TXT"), "inner", 300);
    b.setfat(d, d + 1);
    b.setfat(d + 1, d);
    b.addfile(0, 2, shortname("AFTER.TXT"), "after", 400);
    openbuilt(b);
    const Walk w = walktree(core, 1);
    ASSERT_TRUE(w.ended);
    // Each looping chain ends before its first repeated cluster: the
    // directory is read once over its two clusters, the file has two.
    EXPECT_PATHS(w, "LOOPF.BIN", "LOOPD", "LOOPD/INNER.TXT", "AFTER.TXT");
    const FILEPARM& f = w.at("LOOPF.BIN");
    EXPECT_EQ(f.size, 1000u);
    ASSERT_FALSE(f.dataruns.empty());
    EXPECT_EQ(f.dataruns[0].lcn, 98u);
    EXPECT_EQ(clustersof(f), 2u);
    EXPECT_EQ(contents(core, f).size(), 1000);
}

TEST_P(BuiltWalk, ReusedLastClusterIsDroppedOnceMarked)
{
    // A deleted file of two clusters whose second cluster now belongs to a
    // live file: the rebuilding takes it as its last cluster.
    const QByteArray gone = patterndata(1000, 8);
    const std::uint32_t s = b.addfile(0, 0, shortname("GONE.BIN"), gone, 700);
    b.deleteentry(0, 0);
    b.addfilechain(0, 1, shortname("NEW.BIN"), patterndata(300, 9), {s + 1});
    openbuilt(b);
    Walk w = walktree(core, 0);
    EXPECT_PATHS(w, "\xE5ONE.BIN", "NEW.BIN");
    EXPECT_EQ(w.at("\xE5ONE.BIN").dataruns, (Runs{{s - 2, 2, 0}}));
    // What the collecting pass marks for the live entries ...
    for (const Found& f : walktree(core, 1).found)
        core.setbitmap(f.rec.dataruns);
    // ... keeps the saving pass from handing the file out.
    EXPECT_PATHS(walktree(core, 0), "NEW.BIN");
}

TEST_P(BuiltWalk, OversizedDirectoryIsHandedOutNotEntered)
{
    // 4096-byte clusters: 2442 of them are just over 10,000,000 bytes,
    // 2441 just under.
    FatLayout lay = fat32() ? fat32layout(40u << 20) : fat16layout(40u << 20);
    lay.sectorspercluster = 8;
    FatBuilder big(lay);
    const std::uint32_t over = big.adddir(0, 0, shortname("OVER"));
    big.addfile(over, 2, shortname("HIDDEN.TXT"), "hidden", 9000);
    std::vector<std::uint32_t> chain;
    for (std::uint32_t c = over; c < over + 2442; ++c)
        chain.push_back(c);
    big.chain(chain);
    const std::uint32_t under = big.adddir(0, 1, shortname("UNDER"), 3000);
    big.addfile(under, 2, shortname("SEEN.TXT"), "seen", 9001);
    chain.clear();
    for (std::uint32_t c = under; c < under + 2441; ++c)
        chain.push_back(c);
    big.chain(chain);
    big.addfile(0, 2, shortname("AFTER.TXT"), "after", 9002);
    openbuilt(big);
    const Walk w = walktree(core, 1);
    EXPECT_PATHS(w, "OVER", "UNDER", "UNDER/SEEN.TXT", "AFTER.TXT");
    const FILEPARM& o = w.at("OVER");
    EXPECT_EQ(o.isdir, 1);
    EXPECT_EQ(o.size, 0u);
    EXPECT_TRUE(o.dirbuf == nullptr);
    EXPECT_EQ(clustersof(o), 2442u);
    EXPECT_EQ(w.at("UNDER").size, 2441u * 4096);
    EXPECT_EQ(contents(core, w.at("UNDER/SEEN.TXT")), "seen");
}

TEST_P(BuiltWalk, UnreadableDirectoryClusterReadsAsEmptySlots)
{
    // A directory of two clusters at the very end of the volume, the image
    // cut short inside its second cluster.
    const std::uint32_t d = b.adddir(0, 0, shortname("D"), b.lastcluster() - 3);
    const int perCluster = int(b.clusterbytes() / 32);
    std::vector<QByteArray> expected{"D"};
    for (int slot = 2; slot < perCluster + 4; ++slot) {
        const QByteArray name = QStringLiteral("F%1.TXT").arg(slot, 3, 10, QLatin1Char('0')).toLatin1();
        b.addfile(d, slot, shortname(name.constData()), name, 100 + std::uint32_t(slot));
        if (slot < perCluster)
            expected.push_back("D/" + name);
    }
    const std::uint32_t second = b.fat(d);
    ASSERT_EQ(second, b.lastcluster() - 2);
    b.addfile(0, 1, shortname("AFTER.TXT"), "after", 50);
    expected.push_back("AFTER.TXT");
    openbuilt(b, b.clusteroffset(second) + 100);
    const Walk w = walktree(core, 1);
    ASSERT_TRUE(w.ended);
    EXPECT_PATHS(w, expected);
    EXPECT_EQ(w.at("D").size, 2u * b.clusterbytes());
    EXPECT_EQ(contents(core, w.at("D/F002.TXT")), "F002.TXT");
}

TEST_P(BuiltWalk, DirectoryCutShortInsideACluster)
{
    // Clusters of eight sectors; the image ends in the fifth sector of the
    // directory's only cluster. The four whole sectors before it are
    // readable and their slots must not be lost with the rest.
    FatLayout lay = fat32() ? fat32layout() : fat16layout();
    lay.sectorspercluster = 8;
    FatBuilder cut(lay);
    const std::uint32_t d = cut.adddir(0, 0, shortname("D"), cut.lastcluster());
    std::vector<QByteArray> expected{"D"};
    for (int slot = 2; slot < 128; slot += 5) {
        const QByteArray name = QStringLiteral("F%1.TXT").arg(slot, 3, 10, QLatin1Char('0')).toLatin1();
        cut.addfile(d, slot, shortname(name.constData()), name, 100 + std::uint32_t(slot));
        if (slot < 4 * 16)
            expected.push_back("D/" + name);
    }
    openbuilt(cut, cut.clusteroffset(d) + 4 * 512 + 200);
    const Walk w = walktree(core, 1);
    ASSERT_TRUE(w.ended);
    EXPECT_PATHS(w, expected);
    EXPECT_EQ(w.at("D").size, 8u * 512);
}

TEST(BuiltWalkRoot, Fat16RootCutShortKeepsItsReadableSectors)
{
    FatBuilder b(fat16layout());
    std::vector<QByteArray> expected;
    for (int slot = 0; slot < 40; slot += 3) {
        const QByteArray name = QStringLiteral("R%1.TXT").arg(slot, 2, 10, QLatin1Char('0')).toLatin1();
        b.addfile(0, slot, shortname(name.constData()), name);
        if (slot < 16)
            expected.push_back(name);
    }
    QTemporaryDir dir;
    const QString path = dir.filePath("root.img");
    ASSERT_TRUE(b.save(path, b.slotoffset(0, 16) + 300));  // inside the root's second sector
    RecordingCore core;
    core.openimage(path);
    ASSERT_TRUE(core.warnings.isEmpty());
    ASSERT_NE(core.fat, nullptr);
    EXPECT_EQ(core.rootdir.size, 16384u);
    EXPECT_PATHS(walktree(core, 1), expected);
}

INSTANTIATE_TEST_SUITE_P(Widths, BuiltWalk, ::testing::Values(16, 32), widthname);

// ---- FAT32 start clusters whose high word was erased ----

class HighWordWalk : public WalkBase {
protected:
    FatBuilder b{fat32layout()};
    const QByteArray highdata = patterndata(1500, 21);
    const QByteArray lowereddata = patterndata(700, 22);

    FatBuilder::Entry entry(const char* name, std::uint32_t start, std::uint32_t size, std::uint16_t date,
                            std::uint16_t time)
    {
        FatBuilder::Entry e;
        e.name83 = shortname(name);
        e.startcluster = start;
        e.size = size;
        e.crtdate = e.wrtdate = date;
        e.crttime = e.wrttime = time;
        return e;
    }
    void place(int slot, const char* name, const QByteArray& data, std::uint32_t start, std::uint16_t date,
               std::uint16_t time)
    {
        b.addfile(0, slot, shortname(name), data, start);
        FatBuilder::Entry e = entry(name, start, std::uint32_t(data.size()), date, time);
        b.putentry(0, slot, e);
    }
};

TEST_F(HighWordWalk, ZeroHighWordIsEstimatedFromRecordedMinutes)
{
    ASSERT_GT(b.lastcluster(), 76000u);
    const std::uint16_t day = fatdate(2015, 6, 15);
    place(0, "LOW.BIN", "low", 3000, day, fattime(8, 0, 0));
    place(1, "HIGH.BIN", highdata, 70100, day, fattime(10, 30, 20));
    b.deleteentry(0, 1, true, true);
    place(2, "KEPT.BIN", "kept", 70200, day, fattime(11, 0, 0));
    b.deleteentry(0, 2, true, false);
    place(3, "LOWERED.BIN", lowereddata, 75000, day, fattime(12, 0, 0));
    b.deleteentry(0, 3, true, true);
    openbuilt(b);
    ASSERT_LT(core.fatentries, 2u << 16);
    // What a collecting pass would have filed for live files of those minutes.
    const auto at = [&](int h, int m) { return std::uint64_t(day) << 32 | std::uint64_t(fattime(h, m, 0)) << 16; };
    core.recordminute(at(10, 30), 1);
    core.recordminute(at(11, 0), 0);
    core.recordminute(at(12, 0), 2);  // too high for this volume: lowered until it fits

    const Walk w = walktree(core, 0);
    EXPECT_PATHS(w, "LOW.BIN", "\xE5IGH.BIN", "\xE5" "EPT.BIN", "\xE5OWERED.BIN");
    const FILEPARM& high = w.at("\xE5IGH.BIN");
    EXPECT_EQ(high.startcluster, 70100u);
    EXPECT_EQ(high.entryclusterhigh, 0);
    EXPECT_EQ(high.clusterhigh, 1);
    EXPECT_EQ(high.deleted, 1);
    EXPECT_EQ(contents(core, high), highdata);
    const FILEPARM& kept = w.at("\xE5" "EPT.BIN");
    EXPECT_EQ(kept.startcluster, 70200u);  // the stored high word stands
    EXPECT_EQ(kept.entryclusterhigh, 1);
    EXPECT_EQ(contents(core, kept), "kept");
    const FILEPARM& lowered = w.at("\xE5OWERED.BIN");
    EXPECT_EQ(lowered.startcluster, 75000u);
    EXPECT_EQ(contents(core, lowered), lowereddata);
}

TEST_F(HighWordWalk, WithNothingRecordedTheLastLiveHighWordIsTaken)
{
    const std::uint16_t day = fatdate(2015, 6, 15);
    place(0, "FIRST.BIN", highdata, 70100, day, fattime(9, 0, 0));
    b.deleteentry(0, 0, true, true);
    place(1, "LIVE.BIN", "live", 71000, day, fattime(9, 5, 0));
    place(2, "SECOND.BIN", lowereddata, 72000, day, fattime(9, 10, 0));
    b.deleteentry(0, 2, true, true);
    openbuilt(b);
    const Walk w = walktree(core, 0);
    EXPECT_PATHS(w, "\xE5IRST.BIN", "LIVE.BIN", "\xE5" "ECOND.BIN");
    // Before any live entry the root's own high word (0) is the guess.
    EXPECT_EQ(w.at("\xE5IRST.BIN").startcluster, 70100u - 65536);
    EXPECT_EQ(w.at("\xE5" "ECOND.BIN").startcluster, 72000u);
    EXPECT_EQ(contents(core, w.at("\xE5" "ECOND.BIN")), lowereddata);
}

TEST_F(HighWordWalk, RecoveryRunEstimatesFromItsOwnCollectingPass)
{
    const std::uint16_t day = fatdate(2015, 6, 15);
    place(0, "OLDER.BIN", "older", 3000, fatdate(2010, 1, 1), fattime(8, 0, 0));
    place(1, "GONE.BIN", highdata, 70100, day, fattime(10, 31, 0));
    b.deleteentry(0, 1, true, true);
    place(2, "LIVE.BIN", "live", 70000, day, fattime(10, 30, 0));
    openbuilt(b);
    QTemporaryDir out;
    ASSERT_GT(core.runtoend(out.path()), 0);
    const QStringList saved = QDir(out.path()).entryList(QDir::Files);
    ASSERT_EQ(saved.size(), 1) << saved.join(' ').toStdString();
    QFile f(QDir(out.path()).filePath(saved[0]));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), highdata);
}

// ---- images made by mkfs.fat and mtools ----

TEST_P(ToolWalk, EmptyFilesAndLabelsAreNeverHandedOut)
{
    const QString labelled = dir.filePath("label.img");
    ASSERT_TRUE(makefat(labelled, GetParam(), GetParam() == 16 ? 20u << 20 : 40u << 20, 1, {"-n", "MYLABEL"}))
        << lasterror();
    image = labelled;
    copy({}, "EMPTY.TXT");
    copy("full", "FULL.TXT");
    copy({}, "GONE.TXT");
    ASSERT_TRUE(mmd(image, "DIR")) << lasterror();
    copy({}, "DIR/NONE.TXT");
    ASSERT_TRUE(mdel(image, "GONE.TXT")) << lasterror();
    core.openimage(image);
    ASSERT_TRUE(mdir(image).contains("MYLABEL"));
    EXPECT_PATHS(walktree(core, 1), "FULL.TXT", "DIR");
    EXPECT_PATHS(walktree(core, 0), "FULL.TXT", "DIR");
}

TEST_P(ToolWalk, LongNameSlotsAreSkipped)
{
    copy("1", "A very long name.txt");
    copy("2", "Mixed.txt");
    copy("3", "lower.txt");
    copy("4", "UPPER.TXT");
    copy("5", "Another long name.txt");
    ASSERT_TRUE(mdel(image, "Another long name.txt")) << lasterror();
    core.openimage(image);
    int longslots = 0;
    for (std::uint64_t at = 0; at + 32 <= core.rootdir.size; at += 32)
        longslots += core.rootdir.dirbuf[at + 11] == 0x0F;
    ASSERT_GE(longslots, 4);  // the tools did write long-name slots
    const Walk w = walktree(core, 1);
    EXPECT_PATHS(w, "AVERYL~1.TXT", "MIXED.TXT", "LOWER.TXT", "UPPER.TXT");
    EXPECT_EQ(contents(core, w.at("MIXED.TXT")), "2");
    EXPECT_PATHS(walktree(core, 0), "AVERYL~1.TXT", "MIXED.TXT", "LOWER.TXT", "UPPER.TXT", "\xE5NOTHE~1.TXT");
}

TEST_P(ToolWalk, FragmentedLiveFileGivesItsRuns)
{
    copy(patterndata(1000, 1), "F0.BIN");  // 2 clusters
    copy(patterndata(1500, 2), "F1.BIN");  // 3 clusters
    copy(patterndata(700, 3), "F2.BIN");   // 2 clusters
    ASSERT_TRUE(mdel(image, "F1.BIN")) << lasterror();
    if (GetParam() == 32) {
        ASSERT_TRUE(resetfsinfohint(image)) << lasterror();
    }
    core.openimage(image);
    const Walk before = walktree(core, 0);
    const std::uint32_t hole = before.at("\xE5" "1.BIN").startcluster;
    const std::uint32_t f2 = before.at("F2.BIN").startcluster;
    ASSERT_EQ(f2, hole + 3);
    const QByteArray data = patterndata(9000, 4);  // 18 clusters
    copy(data, "BIG.BIN");
    core.openimage(image);
    const Walk w = walktree(core, 1);
    const FILEPARM& big = w.at("BIG.BIN");
    EXPECT_EQ(big.dataruns, (Runs{{hole - 2, 3, 0}, {f2 + 2 - 2, 15, 3}}));
    EXPECT_EQ(contents(core, big), data);
}

TEST_P(ToolWalk, ReusedClustersAreNotHandedOut)
{
    copy(patterndata(3000, 1), "A.BIN");
    copy(patterndata(600, 2), "B.BIN");
    ASSERT_TRUE(mmd(image, "SUB")) << lasterror();
    ASSERT_TRUE(mdel(image, "A.BIN")) << lasterror();
    if (GetParam() == 32) {
        ASSERT_TRUE(resetfsinfohint(image)) << lasterror();
    }
    core.openimage(image);
    const std::uint32_t a = walktree(core, 0).at("\xE5.BIN").startcluster;
    const QByteArray c = patterndata(2000, 3);
    copy(c, "SUB/C.BIN");
    core.openimage(image);
    const Walk w = walktree(core, 0);
    EXPECT_PATHS(w, "B.BIN", "SUB", "SUB/C.BIN");
    EXPECT_EQ(w.at("SUB/C.BIN").startcluster, a);  // the space was taken again
    EXPECT_EQ(contents(core, w.at("SUB/C.BIN")), c);
}

TEST_P(ToolWalk, ModeZeroEntersDeletedTrees)
{
    const QByteArray x = patterndata(1200, 1), y = patterndata(2100, 2), d = patterndata(900, 3);
    ASSERT_TRUE(mmd(image, "KEEP")) << lasterror();
    copy("k", "KEEP/K.BIN");
    ASSERT_TRUE(mmd(image, "OLD")) << lasterror();
    copy(x, "OLD/XRAY.BIN");
    ASSERT_TRUE(mmd(image, "OLD/INNER")) << lasterror();
    copy(y, "OLD/INNER/YANKEE.BIN");
    copy("top", "TOP.BIN");
    copy(d, "DELTA.BIN");
    ASSERT_TRUE(mdel(image, "DELTA.BIN")) << lasterror();
    ASSERT_TRUE(mdeltree(image, "OLD")) << lasterror();
    core.openimage(image);
    EXPECT_PATHS(walktree(core, 1), "KEEP", "KEEP/K.BIN", "TOP.BIN");
    const Walk w = walktree(core, 0);
    EXPECT_PATHS(w, "KEEP", "KEEP/K.BIN", "\xE5LD", "\xE5LD/\xE5RAY.BIN", "\xE5LD/\xE5NNER",
                 "\xE5LD/\xE5NNER/\xE5" "ANKEE.BIN", "TOP.BIN", "\xE5" "ELTA.BIN");
    for (const Found& f : w.found)
        EXPECT_EQ(f.rec.deleted, f.path.startsWith("KEEP") || f.path == "TOP.BIN" ? 0 : 1) << f.path.toStdString();
    EXPECT_EQ(contents(core, w.at("\xE5LD/\xE5RAY.BIN")), x);
    EXPECT_EQ(contents(core, w.at("\xE5LD/\xE5NNER/\xE5" "ANKEE.BIN")), y);
    EXPECT_EQ(contents(core, w.at("\xE5" "ELTA.BIN")), d);
}

TEST_P(ToolWalk, WholeTree)
{
    const QDateTime t1(QDate(2011, 3, 4), QTime(5, 6, 8), Qt::UTC);
    const QDateTime t2(QDate(2012, 7, 8), QTime(9, 10, 12), Qt::UTC);
    const QDateTime t3(QDate(2013, 11, 12), QTime(13, 14, 16), Qt::UTC);
    const QDateTime t4(QDate(2014, 1, 31), QTime(23, 59, 58), Qt::UTC);
    struct Want {
        QByteArray path;
        QByteArray data;  // files
        QDateTime stamp;
        bool isdir = false;
        bool deleted = false;
    };
    const QDateTime now = QDateTime::fromSecsSinceEpoch(tooloptions().now, Qt::UTC);
    const std::vector<Want> all{
        {"README.TXT", patterndata(3000, 1), t1},
        {"DOCS", {}, now, true},
        {"DOCS/ALPHA.BIN", patterndata(5000, 2), t2},
        {"DOCS/\xE5RAVO.BIN", patterndata(100, 3), t3, false, true},
        {"DOCS/SUB", {}, now, true},
        {"DOCS/SUB/CHARLIE.BIN", patterndata(9000, 4), t4},
        {"\xE5ONE.BIN", patterndata(2500, 5), t1, false, true},
        {"\xE5LD", {}, now, true, true},
        {"\xE5LD/\xE5RAY.BIN", patterndata(1200, 6), t2, false, true},
        {"LAST.TXT", "last", t3},
    };
    copy(all[0].data, "README.TXT", t1);
    copy({}, "EMPTY.TXT", t1);
    ASSERT_TRUE(mmd(image, "DOCS")) << lasterror();
    copy(all[2].data, "DOCS/ALPHA.BIN", t2);
    copy(all[3].data, "DOCS/BRAVO.BIN", t3);
    ASSERT_TRUE(mmd(image, "DOCS/SUB")) << lasterror();
    copy(all[5].data, "DOCS/SUB/CHARLIE.BIN", t4);
    copy(all[6].data, "GONE.BIN", t1);
    ASSERT_TRUE(mmd(image, "OLD")) << lasterror();
    copy(all[8].data, "OLD/XRAY.BIN", t2);
    copy(all[9].data, "LAST.TXT", t3);
    ASSERT_TRUE(mdel(image, "GONE.BIN")) << lasterror();
    ASSERT_TRUE(mdel(image, "DOCS/BRAVO.BIN")) << lasterror();
    ASSERT_TRUE(mdeltree(image, "OLD")) << lasterror();
    core.openimage(image);
    ASSERT_TRUE(core.warnings.isEmpty());

    for (int mode : {1, 0}) {
        SCOPED_TRACE(mode == 1 ? "live entries" : "live and deleted entries");
        std::vector<Want> want;
        for (const Want& e : all)
            if (mode == 0 || !e.deleted)
                want.push_back(e);
        const Walk w = walktree(core, mode);
        ASSERT_TRUE(w.ended);
        ASSERT_EQ(w.found.size(), want.size()) << lines(w.paths()).toStdString();
        for (std::size_t i = 0; i < want.size(); ++i) {
            const Want& e = want[i];
            const FILEPARM& f = w.found[i].rec;
            SCOPED_TRACE(e.path.toPercentEncoding("/.").toStdString());
            ASSERT_EQ(w.found[i].path, e.path);
            EXPECT_EQ(f.isdir, e.isdir ? 1 : 0);
            EXPECT_EQ(f.deleted, e.deleted ? 1 : 0);
            const std::uint64_t date = fatdate(e.stamp.date().year(), e.stamp.date().month(), e.stamp.date().day());
            const std::uint64_t time = fattime(e.stamp.time().hour(), e.stamp.time().minute(), e.stamp.time().second());
            EXPECT_EQ(f.writetime, date << 32 | time);
            EXPECT_EQ(f.createtime, GetParam() == 32 ? (date << 32 | time << 16) : 0u);
            const std::uint64_t cluster = core.diskparm.clustersize();
            if (e.isdir) {
                EXPECT_EQ(f.recordedsize, 0u);
                EXPECT_EQ(f.size, clustersof(f) * cluster);
                EXPECT_EQ(dotcluster(f), f.startcluster);
            } else {
                EXPECT_EQ(f.recordedsize, std::uint64_t(e.data.size()));
                EXPECT_EQ(f.size, std::uint64_t(e.data.size()));
                EXPECT_EQ(clustersof(f), (f.size + cluster - 1) / cluster);
                EXPECT_EQ(contents(core, f), e.data);
            }
        }
    }
}

TEST_P(ToolWalk, FirstDirectoryOnAFreshVolume)
{
    const QByteArray alpha = patterndata(3000, 1), bravo = patterndata(5000, 2);
    ASSERT_TRUE(mmd(image, "DIR")) << lasterror();
    copy(alpha, "DIR/ALPHA.BIN");
    copy(bravo, "DIR/BRAVO.BIN");
    ASSERT_TRUE(mmd(image, "DIR/SUB")) << lasterror();
    copy("c", "DIR/SUB/C.TXT");
    ASSERT_TRUE(mdel(image, "DIR/ALPHA.BIN")) << lasterror();
    core.openimage(image);
    const Walk live = walktree(core, 1);
    EXPECT_PATHS(live, "DIR", "DIR/BRAVO.BIN", "DIR/SUB", "DIR/SUB/C.TXT");
    if (GetParam() == 16) {  // the data area's first cluster; on FAT32 the root has it
        EXPECT_EQ(live.at("DIR").startcluster, 2u);
    }
    const Walk all = walktree(core, 0);
    EXPECT_PATHS(all, "DIR", "DIR/\xE5LPHA.BIN", "DIR/BRAVO.BIN", "DIR/SUB", "DIR/SUB/C.TXT");
    EXPECT_EQ(contents(core, all.at("DIR/\xE5LPHA.BIN")), alpha);

    QTemporaryDir out;
    ASSERT_GT(core.runtoend(out.path()), 0);
    const QStringList saved = QDir(out.path()).entryList(QDir::Files);
    ASSERT_EQ(saved.size(), 1) << saved.join(' ').toStdString();
    QFile f(QDir(out.path()).filePath(saved[0]));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), alpha);
}

INSTANTIATE_TEST_SUITE_P(Widths, ToolWalk, ::testing::Values(16, 32), widthname);
