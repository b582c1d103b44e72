// What kov-recover tells a person who just lost files, on cards made with
// mkfs.fat and mtools: a source or an output folder it cannot use, named
// with the system's reason, an unprivileged user's device, what to try
// after a run that found nothing or met a formatted card, and a help that
// fits a screen.
#include "support/kovrecoverrun.h"
#include "support/loopdevice.h"
#include "support/mtoolsimage.h"
#include "support/qtprint.h"
#include "support/skip.h"
#include "support/tmpfs.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace testsupport;

namespace {

// kov-recover as the user nobody.
CommandOutcome asnobody(const QStringList& args)
{
    QProcess p;
    p.start(QStringLiteral("setpriv"),
            QStringList{"--reuid=65534", "--regid=65534", "--clear-groups", KOV_RECOVER_BIN} + args);
    CommandOutcome o;
    if (!p.waitForFinished(300000))
        return o;
    o.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    o.out = p.readAllStandardOutput();
    o.err = p.readAllStandardError();
    return o;
}

// A card with one deleted photo, in a folder nobody may read through.
class Messages : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(makefat(image, 16, 16u << 20, 4) && writefile(tmp.filePath("p"), patterndata(9000, 1)) &&
                    mcopy(image, tmp.filePath("p"), "IMG_0001.JPG") && mdel(image, "IMG_0001.JPG"))
            << lasterror();
        chmod(QFile::encodeName(tmp.path()).constData(), 0755);
        chmod(QFile::encodeName(image).constData(), 0644);
    }
    QTemporaryDir tmp;
    const QString image = tmp.filePath("card.img");
};

TEST_F(Messages, SourcesThatCannotBeReadSayWhy)
{
    ASSERT_TRUE(QDir().mkpath(tmp.filePath("folder")) && writefile(tmp.filePath("empty.img"), {}));
    const std::pair<QString, QString> cases[] = {
        {tmp.filePath("missing.img"), "disk open error! (No such file or directory)"},
        {tmp.filePath("folder"), "not a volume: Is a directory"},
        {tmp.filePath("empty.img"), "not a volume: empty file"},
    };
    for (const auto& [source, says] : cases) {
        const CommandOutcome o = kovrecover({source, tmp.filePath("out")});
        EXPECT_EQ(o.status, 3) << source;
        EXPECT_TRUE(o.err.contains((source + ": " + says).toUtf8())) << o.err.toStdString();
    }
    // The image given where the output directory goes.
    const CommandOutcome swapped = kovrecover({image, image});
    EXPECT_EQ(swapped.status, 4);
    EXPECT_TRUE(swapped.err.contains(" is the source itself")) << swapped.err.toStdString();

    // A card's device that only root may open, as nobody.
    const QString device = attachloop(image);
    if (device.isEmpty())
        KOV_SKIP() << "no loop device";
    const CommandOutcome denied = asnobody({device, tmp.filePath("out")});
    detachloop(device);
    EXPECT_EQ(denied.status, 3);
    EXPECT_TRUE(denied.err.contains(device.toUtf8() + ": disk open error! (Permission denied; run with sudo)"))
        << denied.err.toStdString();
    EXPECT_FALSE(QFileInfo::exists(tmp.filePath("out")));
}

// A read-only output folder: one message with the folder and the system's
// reason before the walk, status 4, nothing written.
TEST_F(Messages, AReadOnlyOutputIsRefusedBeforeTheWalk)
{
    const QString readonly = tmp.filePath("readonly");
    Tmpfs ro(readonly, "1m", true);
    if (!ro.ok())
        KOV_SKIP() << "needs root for a read-only tmpfs";
    const CommandOutcome o = kovrecover({image, readonly});
    EXPECT_EQ(o.status, 4);
    EXPECT_TRUE(o.err.contains(("Can not create recovered files in " + readonly + "/: Read-only file system").toUtf8()))
        << o.err.toStdString();
    EXPECT_FALSE(o.err.contains("collecting")) << "the walk began";
    EXPECT_TRUE(QDir(readonly).isEmpty());
}

// What to try, on stderr in the options' words, after a plain run over a
// card that was quick-formatted (shot on again or not), and never when the
// run found files on a card in use or made both choices.
struct Card {
    const char* name;
    bool formatted, shotagain;
    QStringList options;
    int saved;
    bool advised;
};

class Advice : public testing::TestWithParam<Card> {};

TEST_P(Advice, NamesTheOptionsToTryWhenTheCardLooksFormatted)
{
    const Card& c = GetParam();
    QTemporaryDir tmp;
    const QString image = tmp.filePath("card.img"), staged = tmp.filePath("staged");
    bool ok = makefat(image, 32, 64u << 20, 1) && mmd(image, "DCIM") && mmd(image, "DCIM/100CANON");
    for (int i = 0; ok && i < 6; ++i)
        ok = writefile(staged, patterndata(40000 + 3000 * i, i)) &&
             mcopy(image, staged, QStringLiteral("DCIM/100CANON/IMG_%1.JPG").arg(i, 4, 10, QLatin1Char('0')));
    // A card in use: most of it holds live files, one photo deleted.
    ok = ok && (c.formatted || (writefile(staged, patterndata(40u << 20, 9)) && mcopy(image, staged, "MOVIE.MOV") &&
                                mdel(image, "DCIM/100CANON/IMG_0002.JPG")));
    ok = ok && (!c.formatted || runtool("mkfs.fat", {"-F", "32", "-s", "1", image}));
    // Far from the old folders, which a first new photo would overwrite.
    ok = ok && (!c.shotagain || (setfsinfohint(image, 60000) && writefile(staged, patterndata(5000, 7)) &&
                                 mcopy(image, staged, "NEW.JPG") &&
                                 mdel(image, "NEW.JPG")));
    ASSERT_TRUE(ok) << lasterror();
    const CommandOutcome o = kovrecover(c.options + QStringList{image, tmp.filePath("out")});
    ASSERT_EQ(o.status, 0) << o.err.toStdString();
    EXPECT_TRUE(o.err.contains(QStringLiteral("kov-recover: %1 files saved").arg(c.saved).toUtf8())) << o.err.toStdString();
    EXPECT_EQ(o.err.contains("Run again with --deep (search lost folders and formatted cards) and --carve (find "
                             "lost photos and documents by their contents)."),
              c.advised)
        << o.err.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Cards, Advice,
    testing::Values(Card{"formatted", true, false, {}, 0, true}, Card{"formattedshotagain", true, true, {}, 1, true},
                    Card{"inuse", false, false, {}, 1, false},
                    Card{"formatteddeepcarve", true, false, {"--deep", "--carve"}, 6, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Help, UsageThenRecipesThenOneLinePerOptionOnOneScreen)
{
    const CommandOutcome help = kovrecover({"--help"});
    ASSERT_EQ(help.status, 0);
    const QStringList lines = QString::fromUtf8(help.out).split('\n');
    EXPECT_LE(lines.size(), 60);
    for (const QString& line : lines)
        EXPECT_LE(line.size(), 79) << line;
    EXPECT_TRUE(lines.value(0).startsWith("Usage: "));
    const qsizetype options = lines.indexOf("Options:"), arguments = lines.indexOf("Arguments:");
    ASSERT_GT(options, 0);
    for (const char* recipe : {"  $ kov-recover /dev/sdb1 ~/recovered", "  $ kov-recover --deep --carve /dev/sdb1 ~/recovered",
                               "  $ ddrescue /dev/sdb card.img card.map"})
        EXPECT_LT(lines.indexOf(recipe), options) << recipe;
    // Every option line begins with its name; none goes on in a second line.
    for (qsizetype i = options + 1; i < arguments - 1; ++i)
        EXPECT_TRUE(lines[i].startsWith("  -")) << lines[i];
    EXPECT_TRUE(help.out.contains("130  stopped by Ctrl-C"));
}

}  // namespace
