// A run that only carves, read after every step, on a FAT32 card whose
// files, photos, documents and a stored ZIP of 40 MiB, were quick-formatted
// over: no step
// reads more than a step's worth (the ZIP is read forward over many), the
// ZIP comes back whole, the share told as carving runs once from 0 to 100
// over the sweep for the starts and the carving after it, and the plan
// known at the sweep's end is what carving then reads.
#include "run/opensource.h"
#include "run/run.h"
#include "support/formatfiles.h"
#include "support/mtoolsimage.h"
#include "support/skip.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <memory>

using namespace testsupport;

namespace {

class QuietEvents : public RUNEVENTS {
public:
    void showwarning(const QString&) override {}
    void showinformation(const QString&) override {}
    void addvolumeitem(const platform::VolumeSource&) override {}
    void setstatuslines(const QString&, const QString&, const QString&) override {}
    void setbuttontext(const QString&) override {}
};

struct STEPSEEN {
    RUNPROGRESS progress;
    bool carving = false;      // the carver is made: the sweep has ended
    std::uint64_t carverread = 0;  // by then
};

class CarveOnlyProgress : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir = std::make_unique<QTemporaryDir>();
        const QString image = dir->filePath(QStringLiteral("card.img"));
        if (!makefat(image, 32, 96u << 20, 2)) {
            why = "mkfs.fat: " + lasterror();
            return;
        }
        const QString local = dir->filePath(QStringLiteral("local"));
        const QString noise = dir->filePath(QStringLiteral("noise.bin"));
        const QString zip = dir->filePath(QStringLiteral("a.zip"));
        if (!writefile(noise, patterndata(40u << 20, 7)) ||
            !runtool(QStringLiteral("zip"), {QStringLiteral("-q"), QStringLiteral("-X"), QStringLiteral("-j"),
                                             QStringLiteral("-0"), zip, noise})) {
            why = "zip: " + lasterror();
            return;
        }
        archive = contents(zip);
        const char* kinds[] = {"jpg", "png", "pdf", "jpg", "gif", "jpg", "png", "jpg"};
        QStringList names;
        for (int i = 0; i < 24; ++i) {
            const QByteArray data = formatfile(QString::fromLatin1(kinds[i % 8]), dir->path(), 60 + i);
            if (data.isNull()) {
                why = std::string("cannot make a ") + kinds[i % 8] + ": " + lasterror();
                return;
            }
            names.append(QStringLiteral("P%1.BIN").arg(i));
            if (!writefile(local, data) || !mcopy(image, local, names.last())) {
                why = lasterror();
                return;
            }
            if (i == 11) {
                names.append(QStringLiteral("A.ZIP"));
                if (!mcopy(image, zip, names.last())) {
                    why = lasterror();
                    return;
                }
            }
        }
        // Quick-formatted over them: no entry names them any more.
        if (!runtool(QStringLiteral("mkfs.fat"), {QStringLiteral("-F"), QStringLiteral("32"), QStringLiteral("-s"),
                                                  QStringLiteral("2"), image})) {
            why = "mkfs.fat: " + lasterror();
            return;
        }
        out = dir->filePath(QStringLiteral("out"));
        QDir().mkpath(out);
        QuietEvents events;
        RUN run(events);
        platform::setblockdevicesenabled(false);
        platform::setimagefiles({image});
        if (run.engine().getallvol() != 1 ||
            ::openvolume(run.engine(), QStringLiteral("C:\\"), std::nullopt) == VOLUMEOPENED::none) {
            why = "the card does not open";
            return;
        }
        RUNOPTIONS options;
        options.carve = true;
        run.setoptions(options);
        run.setrecoverdir(out + '/');
        if (!run.startrun()) {
            why = "the run does not start";
            return;
        }
        for (long k = 0; k < 2000000 && run.rununderway(); ++k) {
            run.step();
            STEPSEEN s;
            s.progress = run.progress();
            if (const carve::CARVER* carver = run.engine().carving()) {
                s.carving = true;
                s.carverread = carver->bytesread();
            } else if (!steps.empty() && steps.back().carving) {
                // Gone with the run's end.
                s.carving = true;
                s.carverread = steps.back().carverread;
            }
            steps.push_back(s);
        }
        platform::setimagefiles({});
    }
    static void TearDownTestSuite() { dir.reset(); }
    void SetUp() override
    {
        if (!why.empty())
            KOV_SKIP() << why;
        ASSERT_FALSE(steps.empty());
    }

    static std::unique_ptr<QTemporaryDir> dir;
    static std::string why;
    static QByteArray archive;
    static QString out;
    static std::vector<STEPSEEN> steps;
};

std::unique_ptr<QTemporaryDir> CarveOnlyProgress::dir;
std::string CarveOnlyProgress::why;
QByteArray CarveOnlyProgress::archive;
QString CarveOnlyProgress::out;
std::vector<STEPSEEN> CarveOnlyProgress::steps;

TEST_F(CarveOnlyProgress, NoStepReadsMoreThanAStepsWorthAndTheArchiveComesBackWhole)
{
    // A step reads up to 4 MiB, and a file read on past the window one
    // piece (1 MiB) more at most.
    constexpr std::uint64_t most = 5u << 20;
    std::uint64_t before = 0, largest = 0;
    std::size_t carvingsteps = 0;
    for (const STEPSEEN& s : steps) {
        if (!s.carving)
            continue;
        ++carvingsteps;
        largest = std::max(largest, s.carverread - before);
        before = s.carverread;
    }
    EXPECT_LE(largest, most);
    // The archive alone takes that many.
    EXPECT_GT(carvingsteps, std::size_t(archive.size()) / most);
    EXPECT_GT(before, std::uint64_t(archive.size())) << "the archive was not read by carving";
    bool found = false;
    for (const auto& [path, data] : filetree(out)) {
        if (path.startsWith(QLatin1String("lost/carved/zip/")))
            found = found || data == archive;
    }
    EXPECT_TRUE(found) << "the ZIP is not carved whole";
}

TEST_F(CarveOnlyProgress, TheShareToldAsCarvingRunsOnceFromNoneToAll)
{
    int last = -1;
    int told = 0;
    for (std::size_t k = 0; k < steps.size(); ++k) {
        const RUNPROGRESS& p = steps[k].progress;
        if (p.phase != RUNPHASE::carving)
            continue;
        ++told;
        ASSERT_GE(p.phasepercent(), last) << "step " << k << ": " << qPrintable(p.words());
        last = p.phasepercent();
    }
    ASSERT_GT(told, 10);
    EXPECT_GE(last, 99);
}

TEST_F(CarveOnlyProgress, ThePlanAtTheSweepsEndIsWhatCarvingReads)
{
    std::size_t first = 0;
    while (first < steps.size() && !steps[first].carving)
        ++first;
    ASSERT_LT(first, steps.size());
    // Carving is all the run reads after the sweep.
    const RUNPROGRESS& p = steps[first].progress;
    const double planned = double(p.total - p.done + steps[first].carverread);
    const double read = double(steps.back().carverread);
    ASSERT_GT(read, 0);
    EXPECT_LT(std::abs(planned - read) / read, 0.2) << "planned " << planned << ", read " << read;
    // Far less than the card: carving reads only from the starts.
    EXPECT_LT(planned, double(96u << 20) * 0.8);
}

}  // namespace
