// The progress a run shows, read after every step of real runs: the share
// never falls (not when an earlier layout's deep scan and the own layout's
// carving are added), the plan knows their bytes once the layouts are
// found, and the run ends at 100% on cards large, tiny and exFAT.
#include "run/opensource.h"
#include "run/run.h"
#include "support/cardimage.h"
#include "support/exfatimage.h"
#include "support/mtoolsimage.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cmath>
#include <optional>

using namespace testsupport;

namespace {

class QuietEvents : public RUNEVENTS {
public:
    int earlier = 0;
    void showwarning(const QString&) override {}
    void showinformation(const QString&) override {}
    void addvolumeitem(const platform::VolumeSource&) override {}
    void setstatuslines(const QString&, const QString&, const QString&) override {}
    void setbuttontext(const QString&) override {}
    void earlierbegun(const layout::FOUNDLAYOUT&, const QString&) override { ++earlier; }
};

struct Seen {
    std::vector<RUNPROGRESS> steps;  // after each step, the last one after the end
    int earlier = 0;
    bool ran = false;
};

// A deep run with carving of image (fstype as openvolume takes it) into
// out, its progress read after every step.
Seen runwatched(const QString& image, const QString& out, std::optional<std::uint32_t> fstype)
{
    Seen s;
    QuietEvents events;
    RUN run(events);
    platform::setblockdevicesenabled(false);
    platform::setimagefiles({image});
    if (run.engine().getallvol() != 1)
        return s;
    if (::openvolume(run.engine(), QStringLiteral("C:\\"), fstype) == VOLUMEOPENED::none)
        return s;
    RUNOPTIONS options;
    options.deep = true;
    options.carve = true;
    run.setoptions(options);
    run.setrecoverdir(out + '/');
    if (!run.startrun())
        return s;
    s.ran = true;
    for (long k = 0; k < 2000000 && run.rununderway(); ++k) {
        run.step();
        s.steps.push_back(run.progress());
    }
    s.earlier = events.earlier;
    return s;
}

void expectmonotone(const Seen& s)
{
    ASSERT_FALSE(s.steps.empty());
    for (std::size_t k = 1; k < s.steps.size(); ++k) {
        ASSERT_GE(s.steps[k].shown, s.steps[k - 1].shown) << "step " << k << ": " << qPrintable(s.steps[k].words());
        ASSERT_LT(s.steps[k - 1].percent(), 100) << "100% before the end, step " << k - 1;
    }
    for (const RUNPROGRESS& p : s.steps) {
        const QString words = p.words();
        ASSERT_FALSE(words.contains(QLatin1String("nan")) || words.contains(QLatin1String("inf")))
            << qPrintable(words);
        ASSERT_TRUE(std::isfinite(p.secondsleft()));
    }
    EXPECT_EQ(s.steps.back().percent(), 100) << qPrintable(s.steps.back().words());
    EXPECT_TRUE(s.steps.back().words().startsWith(QLatin1String("100% of the source read")));
}

}  // namespace

TEST(RunProgress, ReformattedCardNeverGoesBackAndPlansTheEarlierLayoutOnceFound)
{
    QTemporaryDir tmp;
    const QString image = tmp.filePath(QStringLiteral("card.img"));
    QList<CardFile> files;
    // 1 KiB clusters, then half that: FAT32 both times.
    ASSERT_TRUE(makecard(image, 32, 72u << 20, 2, 30, &files, 3, 1u << 20)) << lasterror();
    ASSERT_TRUE(runtool(QStringLiteral("mkfs.fat"), {QStringLiteral("-F"), QStringLiteral("32"), QStringLiteral("-s"),
                                                     QStringLiteral("1"), image}))
        << lasterror();
    const Seen s = runwatched(image, tmp.filePath(QStringLiteral("out")), std::nullopt);
    ASSERT_TRUE(s.ran);
    ASSERT_EQ(s.earlier, 1) << "no earlier layout: the case does not reach the phases it adds";
    expectmonotone(s);
    // From the end of the sweep the plan holds the earlier layout's deep
    // scan and the own layout's carving: it grows by no phase's worth.
    std::size_t swept = 0;
    while (swept < s.steps.size() && s.steps[swept].phase != RUNPHASE::deepscan)
        ++swept;
    while (swept < s.steps.size() && s.steps[swept].phase == RUNPHASE::deepscan)
        ++swept;
    ASSERT_LT(swept, s.steps.size());
    const std::uint64_t planned = s.steps[swept].total;
    for (std::size_t k = swept; k + 1 < s.steps.size(); ++k)
        EXPECT_LE(s.steps[k].total, planned + planned / 10) << "step " << k << " of " << s.steps.size();
}

TEST(RunProgress, TinyAndExfatCardsEndAtAHundred)
{
    QTemporaryDir tmp;
    // FAT12 of 64 KiB, nothing on it: phases with next to nothing to read.
    const QString tiny = tmp.filePath(QStringLiteral("tiny.img"));
    ASSERT_TRUE(makefat(tiny, 12, 64u << 10, 1)) << lasterror();
    Seen s = runwatched(tiny, tmp.filePath(QStringLiteral("tinyout")), std::nullopt);
    ASSERT_TRUE(s.ran);
    expectmonotone(s);

    const QString ex = tmp.filePath(QStringLiteral("ex.img"));
    if (!makeexfat(ex, 8u << 20, 4096))
        GTEST_SKIP() << "mkfs.exfat: " << lasterror();
    s = runwatched(ex, tmp.filePath(QStringLiteral("exout")), 4u);
    ASSERT_TRUE(s.ran);
    expectmonotone(s);
}

TEST(RunProgress, HeldShareGoesOnFromWhereItStoodWhenThePlanGrows)
{
    PROGRESSHOLD hold;
    EXPECT_DOUBLE_EQ(hold.see(0, 0), 0);
    EXPECT_DOUBLE_EQ(hold.see(50, 100), 0.5);
    // Twice the work planned: it stays at half, and the rest spreads over
    // what is left.
    EXPECT_DOUBLE_EQ(hold.see(50, 200), 0.5);
    EXPECT_DOUBLE_EQ(hold.see(125, 200), 0.75);
    // Less planned: on, not back.
    EXPECT_GE(hold.see(125, 150), 0.75);
    EXPECT_LT(hold.see(150, 150), 1.0) << "100% is the end's";
    hold.reset();
    EXPECT_DOUBLE_EQ(hold.see(10, 100), 0.1);
}
