// Rebuilding deleted chains, the cluster-usage bitmap, and the estimate of an
// erased FAT32 high word from the creation-minute table (with its summary
// index checked against a plain linear search).
#include "fat/minutetable.h"
#include "support/fatbuilder.h"
#include "support/recordingcore.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <random>

using namespace testsupport;

static void PrintTo(const DATARUN& r, std::ostream* os)
{
    *os << "{lcn " << r.lcn << ", length " << r.length << ", vcn " << r.vcn << "}";
}

namespace {

using Runs = std::vector<DATARUN>;

// A FAT16 volume of 4096-byte clusters with prepared holes.
class FatRebuild : public ::testing::Test {
protected:
    QTemporaryDir dir;
    RecordingCore core;
    FatBuilder b{[] {
        FatLayout l = fat16layout(20u << 20);
        l.sectorspercluster = 8;
        return l;
    }()};
    std::uint32_t entries = b.layout().sectorsperfat * 256;
    // One past the last cluster: the table has entries beyond it.
    std::uint32_t stop = b.lastcluster() + 1;

    void open()
    {
        const QString path = dir.filePath("r.img");
        ASSERT_TRUE(b.save(path));
        core.openimage(path);
        ASSERT_TRUE(core.warnings.isEmpty());
        ASSERT_EQ(core.diskparm.clustersize(), 4096u);
        ASSERT_EQ(core.fatentries, entries);
        ASSERT_EQ(core.clusterend, stop);
    }
};

}  // namespace

TEST_F(FatRebuild, DocumentedCases)
{
    const std::uint32_t free1 = 100, s2 = 200, used = 300, s6 = 400;
    const std::uint32_t end1 = stop - 3, end2 = stop - 6;
    b.setfat(s2 + 1, b.endmark());
    b.setfat(used, b.endmark());
    for (std::uint32_t c : {s6 + 2, s6 + 3, s6 + 6})
        b.setfat(c, b.endmark());
    b.setfat(end2 + 1, b.endmark());
    open();
    for (bool cached : {true, false}) {
        SCOPED_TRACE(cached ? "cached" : "uncached");
        if (!cached)
            core.fat.reset();
        EXPECT_EQ(core.fatrecoverdatarun(free1, 12288), (Runs{{free1 - 2, 3, 0}}));
        EXPECT_EQ(core.fatrecoverdatarun(free1, 10000), (Runs{{free1 - 2, 3, 0}}));
        EXPECT_EQ(core.fatrecoverdatarun(free1, 4096), (Runs{{free1 - 2, 1, 0}}));
        EXPECT_EQ(core.fatrecoverdatarun(free1, 4097), (Runs{{free1 - 2, 2, 0}}));
        EXPECT_EQ(core.fatrecoverdatarun(free1, 1), (Runs{{free1 - 2, 1, 0}}));
        EXPECT_EQ(core.fatrecoverdatarun(s2, 12288), (Runs{{s2 - 2, 1, 0}, {s2, 2, 1}}));
        // The last cluster is taken whatever its entry holds.
        EXPECT_EQ(core.fatrecoverdatarun(s2, 8192), (Runs{{s2 - 2, 2, 0}}));
        EXPECT_TRUE(core.fatrecoverdatarun(used, 4096).empty());
        EXPECT_TRUE(core.fatrecoverdatarun(free1, 0).empty());
        // Several holes: the index runs on across them.
        EXPECT_EQ(core.fatrecoverdatarun(s6, 6 * 4096), (Runs{{s6 - 2, 2, 0}, {s6 + 2, 2, 2}, {s6 + 5, 2, 4}}));
        // The free clusters run out at the last cluster, although the table
        // goes on.
        EXPECT_EQ(core.fatrecoverdatarun(end1, 10 * 4096), (Runs{{end1 - 2, 3, 0}}));
        EXPECT_EQ(core.fatrecoverdatarun(end1, 3 * 4096), (Runs{{end1 - 2, 3, 0}}));
        EXPECT_EQ(core.fatrecoverdatarun(end2, 10 * 4096), (Runs{{end2 - 2, 1, 0}, {end2, 4, 1}}));
        EXPECT_TRUE(core.fatrecoverdatarun(stop, 4096).empty());
        EXPECT_TRUE(core.fatrecoverdatarun(entries - 1, 4096).empty());
    }
}

TEST_F(FatRebuild, BitmapMarksAndScores)
{
    open();
    ASSERT_FALSE(core.bitmap.empty());
    ASSERT_EQ(core.bitmap.bytes(), (b.clustercount() + 7) / 8);
    core.setbitmap({{9, 1, 0}, {0, 3, 1}, {14, 4, 4}});
    EXPECT_EQ(core.bitmap.data()[0], 0x07);
    EXPECT_EQ(core.bitmap.data()[1], 0x02 | 0x40 | 0x80);
    EXPECT_EQ(core.bitmap.data()[2], 0x03);
    EXPECT_EQ(core.bitmap.data()[3], 0x00);
    EXPECT_EQ(core.inuse(9), 1);
    EXPECT_EQ(core.inuse(8), 0);
    EXPECT_EQ(core.inuse(10), 0);
    EXPECT_EQ(core.inuse(17), 1);
    EXPECT_EQ(core.inuse(18), 0);

    const Runs ten{{100, 4, 0}, {200, 6, 4}};
    EXPECT_EQ(core.clusterusage(ten), 0);
    core.setbitmap({{101, 2, 0}, {203, 1, 2}});
    EXPECT_EQ(core.clusterusage(ten), 1);
    core.setbitmap(ten);
    EXPECT_EQ(core.clusterusage(ten), 2);
    EXPECT_EQ(core.clusterusage({}), 0);
    // A cluster listed twice counts twice.
    EXPECT_EQ(core.clusterusage({{9, 1, 0}, {9, 1, 1}}), 2);
    EXPECT_EQ(core.clusterusage({{9, 2, 0}, {9, 1, 2}}), 1);

    EXPECT_EQ(core.gettotclustersize(ten), 10u * 4096);
    EXPECT_EQ(core.gettotclustersize({}), 0u);
}

TEST_F(FatRebuild, ClustersBeyondTheLastAreUsedAndNeverWritten)
{
    open();
    const std::uint64_t n = core.clusterend - 2;  // lcns of the clusters that exist
    ASSERT_NE(n % 8, 0u) << "the last bitmap byte must have bits past the last cluster";
    const std::vector<unsigned char> before(core.bitmap.data(), core.bitmap.data() + core.bitmap.bytes());
    core.setbitmap({{n, 3, 0}, {n + 1000, 1, 3}, {~std::uint64_t(0) - 1, 5, 4}});
    EXPECT_EQ(std::vector<unsigned char>(core.bitmap.data(), core.bitmap.data() + core.bitmap.bytes()), before);
    core.setbitmap({{n - 2, 5, 0}});
    for (std::uint64_t x = n - 8; x < core.bitmap.bytes() * 8; ++x)
        EXPECT_EQ((core.bitmap.data()[x / 8] >> (x % 8)) & 1, x == n - 2 || x == n - 1 ? 1 : 0) << "bit " << x;
    EXPECT_EQ(core.inuse(n - 3), 0);
    EXPECT_EQ(core.inuse(n - 1), 1);
    EXPECT_EQ(core.inuse(n), 1);
    EXPECT_EQ(core.inuse(core.bitmap.bytes() * 8), 1);
    EXPECT_EQ(core.inuse(~std::uint64_t(0)), 1);
    EXPECT_EQ(core.clusterusage({{n, 2, 0}}), 2);
    EXPECT_EQ(core.clusterusage({{n - 4, 1, 0}, {n + 7, 1, 1}}), 1);
}

TEST(FatRebuildWalk, DeletedFileIsCutAtTheLastCluster)
{
    // A table far larger than the volume: its free entries past the last
    // cluster stand for no data, and a rebuild stops before them.
    FatLayout lay = fat16layout();
    lay.totalsectors = 6000;
    lay.sectorsperfat = 100;
    FatBuilder b(lay);
    const std::uint32_t near = b.lastcluster() - 4;
    const QByteArray past(5 * 512, 'p');
    b.addfile(0, 0, shortname("FITS.BIN"), QByteArray(10 * 512, 'f'), 3000);
    b.addfile(0, 1, shortname("PAST.BIN"), past, near);
    b.deleteentry(0, 0);
    b.deleteentry(0, 1);
    // The entry claims far more than the volume has left.
    const std::uint64_t sizeat = b.slotoffset(0, 1) + 28;
    put32(b.bytes().data() + sizeat, 600 * 512);
    QTemporaryDir dir;
    const QString path = dir.filePath("past.img");
    ASSERT_TRUE(b.save(path));
    RecordingCore core;
    core.openimage(path);
    ASSERT_GT(core.fatentries, near + 600);

    EXPECT_EQ(core.fatrecoverdatarun(near, 600 * 512), (Runs{{near - 2, 5, 0}}));
    const QString out = dir.filePath("out");
    ASSERT_TRUE(QDir().mkpath(out));
    EXPECT_GE(core.runtoend(out), 0);
    EXPECT_TRUE(core.warnings.isEmpty()) << core.warnings.join('|').toStdString();
    QFile saved(out + "/kAST.BIN");
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(saved.readAll(), past);
    EXPECT_EQ(QDir(out).entryList(QDir::Files), QStringList({"kAST.BIN", "kITS.BIN"}));
}

// ---- the creation-minute table ----

namespace {

std::uint64_t stamp(std::uint16_t date, std::uint16_t time) { return std::uint64_t(date) << 32 | std::uint64_t(time) << 16; }

FAT32DIRENTRY created(std::uint16_t date, std::uint16_t time)
{
    FAT32DIRENTRY e;
    std::memset(e.bytes, 0, sizeof e.bytes);
    std::memcpy(e.bytes, "\xE5" "ILE    BIN", 11);
    e.bytes[11] = 0x20;
    put16(e.bytes + 14, time);
    put16(e.bytes + 16, date);
    return e;
}

// The FAT words of minute k after local 1980-01-01 00:00 (TZ is UTC here).
std::pair<std::uint16_t, std::uint16_t> wordsofminute(std::int64_t k, int seconds = 0)
{
    const QDateTime t = QDateTime(QDate(1980, 1, 1), QTime(0, 0)).addSecs(k * 60 + seconds);
    return {fatdate(t.date().year(), t.date().month(), t.date().day()),
            fattime(t.time().hour(), t.time().minute(), t.time().second())};
}

class FatEstimate : public ::testing::Test {
protected:
    RecordingCore core;
    FILEPARM dir;
    const std::uint16_t date = fatdate(2015, 6, 15);

    void record(int hour, int minute, std::uint16_t high, std::uint16_t day = 0)
    {
        core.recordminute(stamp(day ? day : date, fattime(hour, minute, 0)), high);
    }
    std::uint16_t estimate(int hour, int minute, std::uint16_t fallback, int second = 0)
    {
        dir.clusterhigh = fallback;
        const FAT32DIRENTRY e = created(date, fattime(hour, minute, second));
        return core.estimatestartclusterhigh(&dir, &e);
    }
    std::int64_t recordedslots() const
    {
        return std::count_if(core.minutetable.get(), core.minutetable.get() + core.minutecount,
                             [](std::uint16_t v) { return v != 0xFFFF; });
    }
};

}  // namespace

TEST(FatMinuteKey, MinutesSinceTheOrigin)
{
    ASSERT_EQ(QDateTime(QDate(2015, 6, 15), QTime(12, 0)).offsetFromUtc(), 0) << "local time must be UTC (TZ=UTC)";
    MINUTECLOCK clock;
    EXPECT_EQ(clock.count(), 21038400);
    EXPECT_EQ(clock.key(fatdate(1980, 1, 1), fattime(0, 0, 0)), 0);
    EXPECT_EQ(clock.key(fatdate(1980, 1, 1), fattime(0, 1, 58)), 1);  // seconds do not count
    EXPECT_EQ(clock.key(fatdate(1980, 1, 2), fattime(0, 0, 0)), 1440);
    EXPECT_EQ(clock.key(fatdate(2019, 12, 31), fattime(23, 59, 0)), 21038399);
    EXPECT_EQ(clock.key(fatdate(2020, 1, 1), fattime(0, 0, 0)), 21038400);
    std::mt19937 rng(7);
    for (int i = 0; i < 2000; ++i) {
        const QDate d = QDate(1980, 1, 1).addDays(std::int64_t(rng() % 46000));
        const int h = int(rng() % 24), m = int(rng() % 60), s = int(rng() % 60);
        const std::int64_t want = QDate(1980, 1, 1).daysTo(d) * 1440 + h * 60 + m;
        ASSERT_EQ(clock.key(fatdate(d.year(), d.month(), d.day()), fattime(h, m, s)), want) << d.toString().toStdString();
    }
}

TEST(FatMinuteKey, FieldsThatAreNoDateTimeGiveNoKey)
{
    MINUTECLOCK clock;
    const std::uint16_t noon = fattime(12, 0, 0);
    EXPECT_FALSE(clock.key(fatdate(2015, 2, 31), noon).has_value());
    EXPECT_FALSE(clock.key(fatdate(2015, 4, 31), noon).has_value());
    EXPECT_FALSE(clock.key(fatdate(2001, 2, 29), noon).has_value());
    EXPECT_FALSE(clock.key(fatdate(2100, 2, 29), noon).has_value());
    EXPECT_TRUE(clock.key(fatdate(2000, 2, 29), noon).has_value());
    EXPECT_FALSE(clock.key(fatdate(2015, 0, 10), noon).has_value());
    EXPECT_FALSE(clock.key(fatdate(2015, 13, 10), noon).has_value());
    EXPECT_FALSE(clock.key(fatdate(2015, 5, 0), noon).has_value());
    EXPECT_FALSE(clock.key(fatdate(2015, 5, 5), fattime(24, 0, 0)).has_value());
    EXPECT_FALSE(clock.key(fatdate(2015, 5, 5), fattime(10, 60, 0)).has_value());
    EXPECT_TRUE(clock.key(fatdate(2015, 5, 5), fattime(23, 59, 58)).has_value());
}

TEST_F(FatEstimate, ExactMinute)
{
    record(10, 30, 5);
    EXPECT_EQ(estimate(10, 30, 9), 5);
    EXPECT_EQ(estimate(10, 30, 9, 58), 5);
    record(10, 30, 7);  // a later recording replaces the earlier one
    EXPECT_EQ(estimate(10, 30, 9), 7);
    record(10, 40, 0);  // 0 is a recorded value, not an empty slot
    EXPECT_EQ(estimate(10, 40, 9), 0);
}

TEST_F(FatEstimate, NearestBelowAndAbove)
{
    record(10, 20, 7);
    record(10, 27, 4);
    record(10, 37, 6);
    record(10, 50, 8);
    EXPECT_EQ(estimate(10, 30, 6), 6);
    EXPECT_EQ(estimate(10, 30, 4), 4);
    EXPECT_EQ(estimate(10, 30, 9), 5);
    EXPECT_EQ(estimate(10, 30, 7), 5);  // only the nearest ones take part
    EXPECT_EQ(estimate(10, 40, 9), 7);  // (6 + 8) / 2
    EXPECT_EQ(estimate(10, 22, 9), 5);  // (7 + 4) / 2, rounded down
    EXPECT_EQ(estimate(9, 0, 9), 7);    // only above
    EXPECT_EQ(estimate(23, 0, 9), 8);   // only below
}

TEST_F(FatEstimate, EqualNeighbours)
{
    record(10, 0, 4);
    record(11, 0, 4);
    EXPECT_EQ(estimate(10, 30, 9), 4);
}

TEST_F(FatEstimate, OnlyBelow)
{
    record(10, 0, 3);
    EXPECT_EQ(estimate(10, 30, 9), 3);
    EXPECT_EQ(estimate(9, 59, 9), 3);  // only above
}

TEST_F(FatEstimate, NothingRecordedOrNoDate)
{
    EXPECT_EQ(estimate(10, 30, 9), 9);
    record(10, 30, 5);
    dir.clusterhigh = 9;
    FAT32DIRENTRY late = created(fatdate(2039, 6, 15), fattime(10, 30, 0));
    EXPECT_EQ(core.estimatestartclusterhigh(&dir, &late), 9);
    FAT32DIRENTRY nomonth = created(fatdate(2015, 0, 15), fattime(10, 30, 0));
    EXPECT_EQ(core.estimatestartclusterhigh(&dir, &nomonth), 9);
    // Valid by the date test, yet no day of the calendar.
    FAT32DIRENTRY feb31 = created(fatdate(2015, 2, 31), fattime(10, 30, 0));
    EXPECT_EQ(core.estimatestartclusterhigh(&dir, &feb31), 9);
    FAT32DIRENTRY hour24 = created(date, fattime(24, 30, 0));
    EXPECT_EQ(core.estimatestartclusterhigh(&dir, &hour24), 9);
    // Past the table's end: no key, however close the last recording.
    core.recordminute(stamp(fatdate(2019, 12, 31), fattime(23, 59, 0)), 6);
    FAT32DIRENTRY after = created(fatdate(2020, 1, 1), fattime(0, 0, 0));
    EXPECT_EQ(core.estimatestartclusterhigh(&dir, &after), 9);
    FAT32DIRENTRY edge = created(fatdate(2019, 12, 31), fattime(23, 59, 30));
    EXPECT_EQ(core.estimatestartclusterhigh(&dir, &edge), 6);
}

TEST_F(FatEstimate, StampsWithoutAKeyRecordNothing)
{
    core.recordminute(stamp(fatdate(2015, 2, 31), fattime(10, 0, 0)), 7);
    core.recordminute(stamp(fatdate(2015, 6, 15), fattime(25, 0, 0)), 7);
    core.recordminute(stamp(fatdate(2015, 0, 1), fattime(10, 0, 0)), 7);
    core.recordminute(stamp(fatdate(2039, 1, 1), fattime(10, 0, 0)), 7);
    core.recordminute(stamp(fatdate(2025, 1, 1), fattime(10, 0, 0)), 7);
    EXPECT_EQ(recordedslots(), 0);
    EXPECT_EQ(estimate(10, 0, 9), 9);
    core.recordminute(stamp(fatdate(2015, 3, 3), fattime(10, 0, 0)) | 0x1234, 7);  // tenths do not matter
    EXPECT_EQ(recordedslots(), 1);
}

TEST_F(FatEstimate, WithoutATableEveryEstimateFallsBack)
{
    record(10, 30, 5);
    core.minutetable.reset();
    EXPECT_EQ(estimate(10, 30, 9), 9);
    record(10, 31, 5);  // and recording does nothing
    EXPECT_EQ(estimate(10, 31, 8), 8);
}

TEST(FatMinuteIndex, AgreesWithALinearScan)
{
    std::mt19937 rng(12345);
    const std::int32_t sizes[] = {1, 2, 63, 64, 65, 127, 4095, 4096, 4097, 8197, 64 * 64 * 3 + 1, 300001};
    for (std::int32_t count : sizes) {
        for (int records : {0, 1, 2, 5, 40, 1000}) {
            SCOPED_TRACE(testing::Message() << count << " slots, " << records << " recorded");
            std::vector<std::uint16_t> table(std::size_t(count), 0xFFFF);
            MINUTEINDEX index;
            index.reset(count);
            for (int i = 0; i < records; ++i) {
                // Half of them on the first or last slot of a 64-slot block.
                std::int32_t s = std::int32_t(rng() % std::uint32_t(count));
                if (i % 2 && count > 64)
                    s = std::min(count - 1, std::int32_t((rng() % std::uint32_t(count / 64 + 1)) * 64 + (rng() % 2 ? 63 : 0)));
                table[std::size_t(s)] = std::uint16_t(rng() % 0xFFFF);
                index.mark(s);
            }
            // The nearest recorded slot strictly below / above every k, by
            // one sweep each way.
            std::vector<std::int32_t> below(static_cast<std::size_t>(count)), above(static_cast<std::size_t>(count));
            std::int32_t last = -1;
            for (std::int32_t k = 0; k < count; ++k) {
                below[std::size_t(k)] = last;
                if (table[std::size_t(k)] != 0xFFFF)
                    last = k;
            }
            last = -1;
            for (std::int32_t k = count - 1; k >= 0; --k) {
                above[std::size_t(k)] = last;
                if (table[std::size_t(k)] != 0xFFFF)
                    last = k;
            }
            for (std::int32_t k = 0; k < count; ++k) {
                ASSERT_EQ(index.below(table.data(), k), below[std::size_t(k)]) << "below " << k;
                ASSERT_EQ(index.above(table.data(), k), above[std::size_t(k)]) << "above " << k;
            }
        }
    }
}

// Recordings far apart, in different blocks of the index: the neighbours
// of a minute are found across them, worked out by hand.
TEST_F(FatEstimate, NeighboursFarApart)
{
    const auto at = [&](std::int64_t k, std::uint16_t high) {
        const auto [d, t] = wordsofminute(k);
        core.recordminute(stamp(d, t), high);
    };
    const auto estimateat = [&](std::int64_t k, std::uint16_t fallback) {
        const auto [d, t] = wordsofminute(k, 30);
        dir.clusterhigh = fallback;
        const FAT32DIRENTRY e = created(d, t);
        return core.estimatestartclusterhigh(&dir, &e);
    };
    at(5, 1);
    at(12295, 3);
    at(10000000, 8);
    at(21038399, 4);
    const struct {
        std::int64_t minute;
        std::uint16_t fallback, want;
    } cases[] = {
        {0, 9, 1},         // only above
        {6, 9, 2},         // (1 + 3) / 2
        {6, 3, 3},         // the one above is the directory's
        {4096, 1, 1},      // the one below is the directory's
        {12296, 9, 5},     // (3 + 8) / 2, rounded down
        {9999999, 8, 8},
        {10000001, 9, 6},  // (8 + 4) / 2
        {21038398, 9, 6},
        {21038399, 9, 4},  // exact, the table's last slot
    };
    for (const auto& c : cases)
        EXPECT_EQ(estimateat(c.minute, c.fallback), c.want) << "minute " << c.minute << " fallback " << c.fallback;
}
