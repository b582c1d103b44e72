// Carving a quick-formatted FAT32 card whose free clusters begin with
// false PDF starts (a header at every cluster, or a few bare headers in
// noise, none with an end of its own before the real PDF's): the real
// files after them (a photo, a PDF, a stored ZIP read on past the window)
// come back whole, and what the false starts make carving read stays
// within the work allowed to failed starts.
#include "run/opensource.h"
#include "run/run.h"
#include "support/cardimage.h"
#include "support/formatfiles.h"
#include "support/mtoolsimage.h"
#include "support/skip.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

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

struct STORM {
    const char* name;
    int every;        // a false start every that many clusters of the first stormclusters
    bool noise;       // the clusters between them hold noise, else zeros
};

constexpr std::uint64_t cardbytes = 160u << 20;
constexpr std::uint64_t stormclusters = 8192;

class CarveStorm : public ::testing::TestWithParam<STORM> {};

TEST_P(CarveStorm, TheRealFilesAfterTheFalseStartsComeBackWithinTheWorkAllowed)
{
    const STORM& storm = GetParam();
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("card.img"));
    if (!makefat(image, 32, cardbytes, 8))
        KOV_SKIP() << "mkfs.fat: " << lasterror();
    const BootGeometry g = bootgeometry(image);
    ASSERT_EQ(g.clustersize, 4096u);
    const QString noise = dir.filePath(QStringLiteral("noise.bin"));
    const QString zip = dir.filePath(QStringLiteral("a.zip"));
    if (!writefile(noise, patterndata(24u << 20, 3)) ||
        !runtool(QStringLiteral("zip"), {QStringLiteral("-q"), QStringLiteral("-X"), QStringLiteral("-j"),
                                         QStringLiteral("-0"), zip, noise}))
        KOV_SKIP() << "zip: " << lasterror();
    const QByteArray photo = formatfile(QStringLiteral("jpg"), dir.path(), 5);
    const QByteArray pdf = formatfile(QStringLiteral("pdf"), dir.path(), 6);
    if (photo.isNull() || pdf.isNull())
        KOV_SKIP() << lasterror();
    const QByteArray archive = contents(zip);

    QFile card(image);
    ASSERT_TRUE(card.open(QIODevice::ReadWrite));
    const auto at = [&](std::uint64_t lcn) { return qint64(g.datastart + lcn * g.clustersize); };
    QByteArray head = storm.noise ? patterndata(stormclusters * g.clustersize, 9)
                                  : QByteArray(qsizetype(stormclusters * g.clustersize), '\0');
    for (std::uint64_t c = 0; c < stormclusters; c += std::uint64_t(storm.every))
        head.replace(qsizetype(c * g.clustersize), 14, "%PDF-1.4\n%bad\n");
    ASSERT_TRUE(card.seek(at(0)) && card.write(head) == head.size());
    // After the storm: the archive, then the photo and the PDF, whose
    // end every false start before it finds.
    const std::uint64_t ziplcn = stormclusters + 1024;
    const std::uint64_t photolcn = ziplcn + std::uint64_t(archive.size()) / g.clustersize + 64;
    const std::uint64_t pdflcn = photolcn + std::uint64_t(photo.size()) / g.clustersize + 64;
    ASSERT_TRUE(card.seek(at(ziplcn)) && card.write(archive) == archive.size());
    ASSERT_TRUE(card.seek(at(photolcn)) && card.write(photo) == photo.size());
    ASSERT_TRUE(card.seek(at(pdflcn)) && card.write(pdf) == pdf.size());
    card.close();

    const QString out = dir.filePath(QStringLiteral("out"));
    QDir().mkpath(out);
    QuietEvents events;
    RUN run(events);
    platform::setblockdevicesenabled(false);
    platform::setimagefiles({image});
    ASSERT_EQ(run.engine().getallvol(), 1);
    ASSERT_NE(::openvolume(run.engine(), QStringLiteral("C:\\"), std::nullopt), VOLUMEOPENED::none);
    RUNOPTIONS options;
    options.carve = true;
    run.setoptions(options);
    run.setrecoverdir(out + '/');
    ASSERT_TRUE(run.startrun());
    std::uint64_t read = 0;
    carve::CARVECOUNTS counts;
    for (long k = 0; k < 4000000 && run.rununderway(); ++k) {
        run.step();
        if (const carve::CARVER* carver = run.engine().carving()) {
            read = carver->bytesread();
            counts = carver->counts();
        }
    }
    platform::setimagefiles({});

    QList<QByteArray> back;
    for (const auto& [path, data] : filetree(out))
        if (path.startsWith(QLatin1String("lost/carved/")))
            back.append(data);
    EXPECT_TRUE(back.contains(archive)) << "the ZIP is not carved whole";
    EXPECT_TRUE(back.contains(photo)) << "the photo is not carved whole";
    EXPECT_TRUE(back.contains(pdf)) << "the PDF is not carved whole";
    EXPECT_GE(counts.starts, stormclusters / std::uint64_t(storm.every));
    EXPECT_EQ(counts.overread, 0u);
    // The card once over, and the rest of the free run once for the false
    // starts' search for an end, not once for each start (each alone
    // within the work allowed, 1 GiB at first, they read 3.5 to 4 times
    // the card).
    EXPECT_LE(read, cardbytes * 3 / 2);
}

INSTANTIATE_TEST_SUITE_P(Cards, CarveStorm,
                         ::testing::Values(STORM{"HeaderAtEveryCluster", 1, false},
                                           STORM{"BareHeadersInNoise", 256, true}),
                         [](const ::testing::TestParamInfo<STORM>& p) { return std::string(p.param.name); });

}  // namespace
