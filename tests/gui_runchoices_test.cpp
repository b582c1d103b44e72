// The window's choices beyond the plain two walks, through the real widgets on
// Qt's offscreen platform, against kov-recover with the same option on the
// same mtools-made images: a card with deleted files and folders, and a
// card that was quick-formatted after its files were written.
#include "app/kovdialog.h"
#include "support/badblockdevice.h"
#include "support/cardimage.h"
#include "support/exfatimage.h"
#include "support/formatfiles.h"
#include "support/kovrecoverrun.h"
#include "support/mtoolsimage.h"
#include "support/qtprint.h"
#include "support/skip.h"
#include "support/tmpfs.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>

using namespace testsupport;

namespace {

// Answers every message box with OK, keeping its title, text and detail line.
struct BoxAnswerer : QObject {
    struct Box {
        QString title, text, detail;
    };
    BoxAnswerer()
    {
        connect(&timer, &QTimer::timeout, this, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                boxes.append({box->windowTitle(), box->text(), box->informativeText()});
                QAbstractButton* answer = box->button(QMessageBox::Ok);
                for (QAbstractButton* b : box->buttons())
                    if (!press.isEmpty() && b->text() == press)
                        answer = b;
                answer->click();
            }
        });
        timer.start(5);
    }
    QTimer timer;
    QList<Box> boxes;
    QString press;  // a button pressed instead of OK where a box has it
};

enum class Choice { deep, verify, names, carve };

class GuiChoices : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        images = std::make_unique<QTemporaryDir>();
        const QString work = images->path(), deleted = work + "/deleted.img", formatted = work + "/formatted.img";
        QList<QByteArray> files;
        for (int seed = 0; seed < 4; ++seed)
            for (const char* kind : {"png", "jpg"})
                files.append(formatfile(kind, work, seed));
        for (const QByteArray& f : files)
            if (f.isNull())
                return;
        bool ok = true;
        for (const QString& image : {deleted, formatted}) {
            ok = ok && makefat(image, 32, 256u << 20, 4);
            for (const char* dir : {"DCIM", "DCIM/100CAM", "Old pictures"})
                ok = ok && mmd(image, dir);
            for (int i = 0; i < files.size(); ++i) {
                const QString dir = i % 3 == 0 ? "DCIM/100CAM" : i % 3 == 1 ? "Old pictures" : "";
                const QString name = QStringLiteral("Summer holiday %1.%2").arg(i).arg(i % 2 ? "jpg" : "png");
                ok = ok && writefile(work + "/staged", files[i]) &&
                     mcopy(image, work + "/staged", (dir.isEmpty() ? "" : dir + "/") + name);
                ok = ok && writefile(work + "/staged", patterndata(3000 + 700 * i, i)) &&
                     mcopy(image, work + "/staged", (dir.isEmpty() ? "" : dir + "/") + QString("Notes %1.txt").arg(i));
            }
        }
        // Half the files deleted, one folder deleted whole; the other card
        // formatted over its files.
        for (int i = 0; i < files.size(); i += 2)
            ok = ok && (i % 3 == 1 || mdel(deleted, QString(i % 3 == 0 ? "DCIM/100CAM/" : "") +
                                                        QStringLiteral("Summer holiday %1.png").arg(i)));
        ok = ok && mdeltree(deleted, "Old pictures");
        ok = ok && runtool("mkfs.fat", {"-F", "32", "-s", "4", "-i", "4B4F5632", formatted});
        if (ok)
            ready = true;
    }
    static void TearDownTestSuite() { images.reset(); }

    void SetUp() override
    {
        if (!ready)
            KOV_SKIP() << "cannot make the images: " << lasterror();
        platform::setblockdevicesenabled(false);
        platform::setimagefiles({image("formatted"), image("deleted")});
    }
    static QString image(const QString& which) { return images->filePath(which + ".img"); }
    static QString flag(Choice c)
    {
        return c == Choice::deep     ? "--deep"
               : c == Choice::verify ? "--verify"
               : c == Choice::names  ? "--original-names"
                                     : "--carve";
    }
    static QCheckBox* box(KOVDialog& d, Choice c)
    {
        return c == Choice::deep ? d.deepbox : c == Choice::verify ? d.verifybox : c == Choice::names ? d.namesbox : d.carvebox;
    }
    // A whole window run of the volume at index into outdir with the choices.
    static void windowrun(KOVDialog& d, BoxAnswerer& answerer, int index, const QString& outdir,
                          const QList<Choice>& chosen)
    {
        d.vollist->setCurrentIndex(index);
        for (Choice c : {Choice::deep, Choice::verify, Choice::names, Choice::carve})
            box(d, c)->setChecked(chosen.contains(c));
        d.diredit->setText(outdir);
        const qsizetype before = answerer.boxes.size();
        d.recoverbt->click();
        ASSERT_TRUE(QTest::qWaitFor([&] { return answerer.boxes.size() > before && !d.run.rununderway(); }, 120000));
    }

    static inline std::unique_ptr<QTemporaryDir> images;
    static inline bool ready = false;
    QTemporaryDir tmp;
};

TEST_F(GuiChoices, AllStartUncheckedWithTheirTooltips)
{
    KOVDialog d;
    for (Choice c : {Choice::deep, Choice::verify, Choice::names, Choice::carve}) {
        EXPECT_FALSE(box(d, c)->isChecked()) << flag(c);
        EXPECT_FALSE(box(d, c)->toolTip().isEmpty()) << flag(c);
    }
    EXPECT_FALSE(d.imagebox->isChecked());
    EXPECT_FALSE(d.imageedit->isEnabled());
    EXPECT_TRUE(d.imageedit->text().isEmpty());
}

// The window's image of the card, plainly and with the deep scan, is the
// image kov-recover's --image makes of it, and its map the same.
class GuiImage : public GuiChoices, public testing::WithParamInterface<bool> {};

TEST_P(GuiImage, TheWindowsImageIsKovRecoversImage)
{
    const bool deep = GetParam();
    const QString cliimage = tmp.filePath("cli.img"), image = tmp.filePath("window.img");
    QStringList args{"--image", cliimage, GuiChoices::image("deleted"), tmp.filePath("cli")};
    if (deep)
        args.prepend("--deep");
    const CommandOutcome cli = kovrecover(args);
    ASSERT_EQ(cli.status, 0) << cli.err.toStdString();
    KOVDialog d;
    BoxAnswerer answerer;
    d.imagebox->setChecked(true);
    d.imageedit->setText(image);
    windowrun(d, answerer, 1, tmp.filePath("window"), deep ? QList<Choice>{Choice::deep} : QList<Choice>{});
    ASSERT_EQ(answerer.boxes.size(), 1);
    EXPECT_TRUE(answerer.boxes[0].detail.endsWith(
        QStringLiteral("\nThe image of what was read: %1, its map %1.map (a GNU ddrescue mapfile)").arg(image)))
        << answerer.boxes[0].detail.toStdString();
    EXPECT_TRUE(runtool("cmp", {cliimage, image})) << lasterror();
    EXPECT_EQ(contents(image + ".map"), contents(cliimage + ".map"));
    // The volume's own sectors are in it, read after the image was begun.
    EXPECT_EQ(contents(image).left(512), contents(GuiChoices::image("deleted")).left(512));
    EXPECT_EQ(filetree(tmp.filePath("window")), filetree(tmp.filePath("cli")));
}

INSTANTIATE_TEST_SUITE_P(PlainAndDeep, GuiImage, testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "deep" : "plain"); });

// A file kov-recover refuses for --image, the window refuses in the same
// words, and the card is not read: the device counts no request.
TEST_F(GuiChoices, ARefusedImageFileIsToldInKovRecoversWordsAndNothingIsRead)
{
    QString why;
    if (!BadBlockDevice::available(&why))
        KOV_SKIP() << why.toStdString();
    BadBlockDevice dev(image("deleted"));
    ASSERT_TRUE(dev.ok()) << dev.why().toStdString();
    platform::setimagefiles({dev.path()});
    const QString taken = tmp.filePath("taken.img"), out = tmp.filePath("out");
    ASSERT_TRUE(writefile(taken, "keep"));
    KOVDialog d;
    BoxAnswerer answerer;
    ASSERT_EQ(d.vollist->count(), 1);
    d.diredit->setText(out);
    d.imagebox->setChecked(true);
    for (const QString& file : {taken, dev.path()}) {
        const CommandOutcome cli = kovrecover({"--image", file, dev.path(), tmp.filePath("cli")});
        ASSERT_EQ(cli.status, 2) << cli.err.toStdString();
        const QByteArray said = "kov-recover: --image " + file.toUtf8() + ": ";
        ASSERT_TRUE(cli.err.startsWith(said)) << cli.err.toStdString();
        const QString words = QString::fromUtf8(cli.err.mid(said.size()).trimmed());
        const std::uint64_t reads = dev.counts().reads;
        d.imageedit->setText(file);
        const qsizetype before = answerer.boxes.size();
        d.recoverbt->click();
        ASSERT_TRUE(QTest::qWaitFor([&] { return answerer.boxes.size() > before; }, 10000));
        EXPECT_EQ(answerer.boxes.last().title, "error");
        EXPECT_EQ(answerer.boxes.last().text, file + ": " + words);
        EXPECT_FALSE(d.run.rununderway());
        EXPECT_EQ(d.recoverbt->text(), "Recover");
        EXPECT_EQ(dev.counts().reads, reads);
    }
    EXPECT_FALSE(QFileInfo::exists(out));  // refused before the folder is made, as kov-recover refuses
    EXPECT_EQ(contents(taken), "keep");
    // An image begun for a run refused at its folder (a file stands there)
    // is removed with its map, as kov-recover removes it.
    const QString fresh = tmp.filePath("fresh.img");
    d.imageedit->setText(fresh);
    d.diredit->setText(taken);
    const qsizetype before = answerer.boxes.size();
    d.recoverbt->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return answerer.boxes.size() > before; }, 10000));
    EXPECT_FALSE(d.run.rununderway());
    EXPECT_FALSE(QFileInfo::exists(fresh));
    EXPECT_FALSE(QFileInfo::exists(fresh + ".map"));
    platform::setimagefiles({});
}

// An image on a disk that fills up: the window says so once, as
// kov-recover does, while the run goes on to the same files, and its end
// box says what the image holds.
TEST_F(GuiChoices, AFullDiskStopsTheImageWithOneWarningAndTheRunGoesOn)
{
    const QString clidisk = tmp.filePath("clidisk"), disk = tmp.filePath("disk");
    Tmpfs clifull(clidisk, "64k"), full(disk, "64k");
    if (!clifull.ok() || !full.ok())
        KOV_SKIP() << "cannot mount a tmpfs (root only)";
    const QString cliimage = clidisk + "/copy.img", image = disk + "/copy.img";
    const CommandOutcome cli = kovrecover({"--image", cliimage, GuiChoices::image("deleted"), tmp.filePath("cli")});
    ASSERT_EQ(cli.status, 1) << cli.err.toStdString();
    const qsizetype at = cli.err.indexOf("kov-recover: imaging stopped: ");
    ASSERT_GE(at, 0) << cli.err.toStdString();
    const qsizetype from = at + qsizetype(strlen("kov-recover: "));
    const QString said = QString::fromUtf8(cli.err.mid(from, cli.err.indexOf('\n', at) - from)).replace(cliimage, image);
    KOVDialog d;
    BoxAnswerer answerer;
    d.imagebox->setChecked(true);
    d.imageedit->setText(image);
    windowrun(d, answerer, 1, tmp.filePath("window"), {});
    ASSERT_EQ(answerer.boxes.size(), 2);
    EXPECT_EQ(answerer.boxes[0].title, "error");
    EXPECT_EQ(answerer.boxes[0].text, said.left(1).toUpper() + said.mid(1));
    EXPECT_TRUE(answerer.boxes[1].text.startsWith("Recovery accomplished!"));
    EXPECT_TRUE(answerer.boxes[1].detail.contains(
        "\nThe image of what was read before imaging stopped (No space left on device): " + image))
        << answerer.boxes[1].detail.toStdString();
    EXPECT_EQ(filetree(tmp.filePath("window")), filetree(tmp.filePath("cli")));
    EXPECT_FALSE(filetree(tmp.filePath("window")).empty());
}

class GuiChoice : public GuiChoices, public testing::WithParamInterface<Choice> {};

TEST_P(GuiChoice, SavesWhatKovRecoverSavesWithTheSameOption)
{
    const Choice c = GetParam();
    // The deep scan's and carving's work is on the formatted card, the others' on the other.
    const int index = c == Choice::deep || c == Choice::carve ? 0 : 1;
    const QString cliout = tmp.filePath("cli"), withchoice = tmp.filePath("window"), plain = tmp.filePath("plain");
    const CommandOutcome cli = kovrecover({flag(c), index == 0 ? image("formatted") : image("deleted"), cliout});
    ASSERT_EQ(cli.status, 0) << cli.err.toStdString();
    KOVDialog d;
    BoxAnswerer answerer;
    windowrun(d, answerer, index, withchoice, {c});
    windowrun(d, answerer, index, plain, {});
    const auto saved = filetree(withchoice);
    EXPECT_EQ(saved, filetree(cliout));
    // The choice changed what was saved.
    EXPECT_NE(saved, filetree(plain));
    EXPECT_FALSE(saved.empty());
    EXPECT_EQ(answerer.boxes.size(), 2);
}

INSTANTIATE_TEST_SUITE_P(EachChoice, GuiChoice,
                         testing::Values(Choice::deep, Choice::verify, Choice::names, Choice::carve),
                         [](const auto& info) {
                             return std::string(info.param == Choice::deep     ? "deep"
                                                : info.param == Choice::verify ? "verify"
                                                : info.param == Choice::names  ? "originalnames"
                                                                               : "carve");
                         });

TEST_F(GuiChoices, APauseInTheDeepScanResumesToTheSameResult)
{
    // Written out whole, as a card is: the sweep passes a sparse image's
    // holes in one step, and a fast machine ends that scan in one slice.
    const QString dense = tmp.filePath("dense.img");
    ASSERT_TRUE(runtool("cp", {"--sparse=never", image("formatted"), dense})) << lasterror();
    platform::setimagefiles({dense});
    const QString out = tmp.filePath("out"), cliout = tmp.filePath("cli");
    const CommandOutcome cli = kovrecover({"--deep", dense, cliout});
    ASSERT_EQ(cli.status, 0) << cli.err.toStdString();
    KOVDialog d;
    BoxAnswerer answerer;
    d.deepbox->setChecked(true);
    d.diredit->setText(out);
    std::uint64_t pausedat = 0;
    bool done = false;
    QObject::connect(d.scantimer, &QTimer::timeout, &d, [&] {
        if (!done && d.run.phase() == RUNPHASE::deepscan && d.run.deepscan()->scanposition() > 0) {
            done = true;
            pausedat = d.run.deepscan()->scanposition();
            d.recoverbt->click();
        }
    });
    d.recoverbt->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return done; }, 120000));
    ASSERT_LT(pausedat, d.run.deepscan()->scantotal()) << "the scan ended in one slice";
    EXPECT_EQ(d.recoverbt->text(), "Recover");
    EXPECT_TRUE(d.namelabel->text().startsWith("Searching lost folders: ")) << d.namelabel->text();
    QTest::qWait(50);
    EXPECT_EQ(d.run.deepscan()->scanposition(), pausedat);
    EXPECT_FALSE(d.scantimer->isActive());
    d.recoverbt->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !answerer.boxes.isEmpty() && !d.run.rununderway(); }, 120000));
    EXPECT_EQ(filetree(out), filetree(cliout));
    EXPECT_TRUE(filetree(out).size() > 0);
}

// A run that only carves sweeps the card for carving's starts, then
// carves from them: the window tells both as one, its share of them never
// going back, nor the run's.
TEST_F(GuiChoices, CarvingAloneIsOneShareFromNoneToAll)
{
    KOVDialog d;
    BoxAnswerer answerer;
    d.carvebox->setChecked(true);
    d.diredit->setText(tmp.filePath("out"));
    const QRegularExpression carving(QStringLiteral("^Looking for files by their contents: (\\d+)%$"));
    const QRegularExpression share(QStringLiteral("^(?:Paused\\. )?(\\d+)% of the source read"));
    QList<int> told, shown;
    QStringList texts;
    QObject::connect(d.scantimer, &QTimer::timeout, &d, [&] {
        const QRegularExpressionMatch m = carving.match(d.namelabel->text());
        if (m.hasMatch()) {
            told.append(m.captured(1).toInt());
            texts.append(d.namelabel->text());
        }
        const QRegularExpressionMatch r = share.match(d.progresslabel->text());
        if (r.hasMatch())
            shown.append(r.captured(1).toInt());
    });
    d.recoverbt->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !answerer.boxes.isEmpty() && !d.run.rununderway(); }, 120000));
    ASSERT_GE(told.size(), 3) << qPrintable(texts.join('\n'));
    for (qsizetype k = 1; k < told.size(); ++k)
        ASSERT_GE(told[k], told[k - 1]) << qPrintable(texts[k - 1]) << " then " << qPrintable(texts[k]);
    for (qsizetype k = 1; k < shown.size(); ++k)
        ASSERT_GE(shown[k], shown[k - 1]);
}

// Carving paused in its middle resumes to kov-recover's result, the end
// box counts the files it found, and another volume ends it unfinished.
TEST_F(GuiChoices, CarvingPausesResumesAndIsCountedOrEnds)
{
    const QString out = tmp.filePath("out"), cliout = tmp.filePath("cli");
    const CommandOutcome cli = kovrecover({"--carve", image("formatted"), cliout});
    ASSERT_EQ(cli.status, 0) << cli.err.toStdString();
    KOVDialog d;
    BoxAnswerer answerer;
    d.carvebox->setChecked(true);
    d.diredit->setText(out);
    std::uint64_t pausedat = 0;
    bool done = false;
    const QMetaObject::Connection watch = QObject::connect(d.scantimer, &QTimer::timeout, &d, [&] {
        // Carving's starts are swept first, before there is a carver.
        if (!done && d.run.phase() == RUNPHASE::carving && d.run.carving() && d.run.carving()->position() > 0) {
            done = true;
            pausedat = d.run.carving()->position();
            d.recoverbt->click();
        }
    });
    d.recoverbt->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return done; }, 120000));
    QObject::disconnect(watch);
    ASSERT_LT(pausedat, d.run.carving()->total()) << "carving ended in one slice";
    EXPECT_TRUE(d.namelabel->text().startsWith("Looking for files by their contents: ")) << d.namelabel->text();
    QTest::qWait(50);
    EXPECT_EQ(d.run.carving()->position(), pausedat);
    EXPECT_FALSE(d.scantimer->isActive());
    d.recoverbt->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !answerer.boxes.isEmpty() && !d.run.rununderway(); }, 120000));
    const auto saved = filetree(out);
    EXPECT_EQ(saved, filetree(cliout));
    int carved = 0;
    for (const auto& [path, data] : saved)
        carved += path.startsWith("lost/carved/") ? 1 : 0;
    EXPECT_GT(carved, 0);
    EXPECT_TRUE(answerer.boxes[0].detail.section('\n', 0, 0).contains(
        QStringLiteral("; %1 found by their contents alone (in lost/carved).").arg(carved)))
        << answerer.boxes[0].detail.toStdString();

    // Another volume chosen while carving: no end box, the run stopped.
    const QString second = tmp.filePath("second");
    d.diredit->setText(second);
    d.vollist->setCurrentIndex(0);
    bool changed = false;
    QObject::connect(d.scantimer, &QTimer::timeout, &d, [&] {
        if (!changed && d.run.phase() == RUNPHASE::carving) {
            changed = true;
            d.vollist->setCurrentIndex(1);
        }
    });
    const qsizetype boxes = answerer.boxes.size();
    d.recoverbt->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return changed; }, 120000));
    EXPECT_FALSE(d.run.rununderway());
    EXPECT_FALSE(d.scantimer->isActive());
    EXPECT_EQ(d.namelabel->text(), "Recovery of C:\\ stopped: another volume was chosen.");
    EXPECT_EQ(answerer.boxes.size(), boxes);
}

TEST_F(GuiChoices, AnotherVolumeEndsADeepRunWithTheNotice)
{
    const QString out = tmp.filePath("out");
    KOVDialog d;
    BoxAnswerer answerer;
    d.deepbox->setChecked(true);
    d.diredit->setText(out);
    for (const RUNPHASE when : {RUNPHASE::deepscan, RUNPHASE::lostfiles}) {
        d.vollist->setCurrentIndex(0);
        bool changed = false;
        const QMetaObject::Connection watch = QObject::connect(d.scantimer, &QTimer::timeout, &d, [&] {
            if (!changed && d.run.phase() == when) {
                changed = true;
                d.vollist->setCurrentIndex(1);
            }
        });
        d.recoverbt->click();
        ASSERT_TRUE(QTest::qWaitFor([&] { return changed; }, 120000));
        QObject::disconnect(watch);
        EXPECT_FALSE(d.run.rununderway());
        EXPECT_FALSE(d.scantimer->isActive());
        EXPECT_EQ(d.recoverbt->text(), "Recover");
        EXPECT_EQ(d.namelabel->text(), "Recovery of C:\\ stopped: another volume was chosen.");
        EXPECT_TRUE(answerer.boxes.isEmpty());
    }
    // Stopped before the lost folders' files were saved: none is there.
    EXPECT_FALSE(QDir(out + "/lost").exists() && !QDir(out + "/lost").isEmpty());
}

// A plain run over the quick-formatted card: the end box says which of
// the choices to try and where the files are, the line below the status
// lines that the run ended, and "Open the folder" without a file manager
// says where they are.
TEST_F(GuiChoices, APlainRunOnAFormattedCardSaysWhatToTryAndWhere)
{
    const QString out = tmp.filePath("out");
    KOVDialog d;
    BoxAnswerer answerer;
    answerer.press = "Open the folder";
    windowrun(d, answerer, 0, out, {});
    ASSERT_TRUE(QTest::qWaitFor([&] { return answerer.boxes.size() == 2; }, 10000));
    const QString detail = answerer.boxes[0].detail;
    EXPECT_TRUE(detail.startsWith("0 files saved. Most of this card is free, yet folders lie in its free space"))
        << detail;
    EXPECT_TRUE(detail.contains(QStringLiteral("Try again with \"%1\" and \"%2\".").arg(d.deepbox->text(),
                                                                                        d.carvebox->text())))
        << detail;
    EXPECT_TRUE(detail.endsWith("\nThe files are in " + out)) << detail;
    EXPECT_EQ(d.progresslabel->text(), "Recovery ended: 0 files saved in " + out + ".");
    EXPECT_EQ(answerer.boxes[1].title, "info");
    EXPECT_EQ(answerer.boxes[1].text, "No file manager could be started. The recovered files are in " + out);
}

TEST_F(GuiChoices, TheEndBoxDetailCarriesTheCounts)
{
    const CommandOutcome cli = kovrecover({"--deep", "--verify", image("deleted"), tmp.filePath("cli")});
    ASSERT_EQ(cli.status, 0) << cli.err.toStdString();
    static const QRegularExpression summary(
        "(\\d+) files saved, .*; (\\d+) verified, (\\d+) unchecked, (\\d+) damaged");
    const QRegularExpressionMatch counts = summary.match(QString::fromUtf8(cli.err));
    ASSERT_TRUE(counts.hasMatch()) << cli.err.toStdString();
    const QString out = tmp.filePath("out");
    KOVDialog d;
    BoxAnswerer answerer;
    windowrun(d, answerer, 1, out, {Choice::deep, Choice::verify});
    ASSERT_EQ(answerer.boxes.size(), 1);
    const BoxAnswerer::Box& end = answerer.boxes[0];
    EXPECT_EQ(end.title, "info");
    EXPECT_TRUE(end.text.startsWith("Recovery accomplished!"));
    int lost = 0;
    for (const auto& [path, data] : filetree(out))
        lost += path.startsWith("lost/") || path.startsWith("damaged/lost/") ? 1 : 0;
    EXPECT_EQ(end.detail.section('\n', 0, 0), QStringLiteral("%1 files saved; %2 verified, %3 unchecked, %4 damaged (in the damaged "
                                         "folder); %5 from lost folders (in the lost folder).")
                              .arg(counts.captured(1), counts.captured(2), counts.captured(3), counts.captured(4))
                              .arg(lost));
    EXPECT_EQ(counts.captured(1).toInt(), int(filetree(out).size()));
}

// A card reformatted with another cluster size: the window's deep run
// recovers the earlier layout's tree as kov-recover does, and a second run
// finds the volume itself again, not the earlier layout the first left.
TEST(GuiLayouts, EarlierLayoutAsKovRecoverAndAgain)
{
    QTemporaryDir tmp;
    const QString image = tmp.filePath("card.img");
    QList<CardFile> files;
    ASSERT_TRUE(makecard(image, 32, 300u << 20, 8, 30, &files, 3, 2u << 20)) << lasterror();
    ASSERT_TRUE(runtool("mkfs.fat", {"-F", "32", "-s", "4", image})) << lasterror();
    const QString cliout = tmp.filePath("cli");
    const CommandOutcome cli = kovrecover({"--deep", image, cliout});
    ASSERT_EQ(cli.status, 0) << cli.err.toStdString();
    const auto expected = filetree(cliout);
    ASSERT_TRUE(std::any_of(expected.begin(), expected.end(),
                            [](const auto& f) { return f.first.startsWith("lost/earlier-layout-4k/"); }));
    platform::setblockdevicesenabled(false);
    platform::setimagefiles({image});
    KOVDialog d;
    BoxAnswerer answerer;
    d.deepbox->setChecked(true);
    for (const QString run : {"first", "second"}) {
        const QString out = tmp.filePath(run);
        d.diredit->setText(out);
        const qsizetype before = answerer.boxes.size();
        d.recoverbt->click();
        ASSERT_TRUE(QTest::qWaitFor([&] { return answerer.boxes.size() > before && !d.run.rununderway(); }, 120000));
        EXPECT_EQ(filetree(out), expected) << run.toStdString();
    }
    platform::setimagefiles({});
}

// The window's share of the source, read after every slice of a deep run
// with carving on a reformatted card: it never falls, though the earlier
// layout's deep scan and the own layout's carving join the plan midway.
TEST(GuiLayouts, TheShareShownNeverFallsWhenTheEarlierLayoutJoinsThePlan)
{
    QTemporaryDir tmp;
    const QString image = tmp.filePath("card.img");
    QList<CardFile> files;
    ASSERT_TRUE(makecard(image, 32, 72u << 20, 2, 30, &files, 3, 1u << 20)) << lasterror();
    ASSERT_TRUE(runtool("mkfs.fat", {"-F", "32", "-s", "1", image})) << lasterror();
    platform::setblockdevicesenabled(false);
    platform::setimagefiles({image});
    KOVDialog d;
    BoxAnswerer answerer;
    d.deepbox->setChecked(true);
    d.carvebox->setChecked(true);
    d.diredit->setText(tmp.filePath("out"));
    const QRegularExpression share(QStringLiteral("^(?:Paused\\. )?(\\d+)% of the source read"));
    QList<int> seen;
    QStringList texts;
    QObject::connect(d.scantimer, &QTimer::timeout, &d, [&] {
        const QRegularExpressionMatch m = share.match(d.progresslabel->text());
        if (m.hasMatch() && (seen.isEmpty() || texts.last() != d.progresslabel->text())) {
            seen.append(m.captured(1).toInt());
            texts.append(d.progresslabel->text());
        }
    });
    d.recoverbt->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !answerer.boxes.isEmpty() && !d.run.rununderway(); }, 120000));
    ASSERT_GE(seen.size(), 3) << qPrintable(texts.join('\n'));
    for (qsizetype k = 1; k < seen.size(); ++k)
        EXPECT_GE(seen[k], seen[k - 1]) << qPrintable(texts[k - 1]) << " then " << qPrintable(texts[k]);
    EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](int p) { return p >= 0 && p < 100; }))
        << qPrintable(texts.join('\n'));
    platform::setimagefiles({});
}

// A card whose whole system area is gone, named on the command line beside
// a file of noise: the window lists the card alone, with its found layout
// in the tooltip, asks for the deep choice as kov-recover asks for --deep,
// and then recovers what kov-recover --deep recovers.
TEST(GuiLayouts, FoundVolumeListedAndRecoveredAsKovRecover)
{
    QTemporaryDir tmp;
    const QString image = tmp.filePath("card.img"), noise = tmp.filePath("noise.img");
    QList<CardFile> files;
    ASSERT_TRUE(makecard(image, 32, 300u << 20, 8, 30, &files)) << lasterror();
    const BootGeometry area = bootgeometry(image);
    ASSERT_GT(area.datastart, 0u);
    ASSERT_TRUE(overwrite(image, 0, area.datastart));
    ASSERT_TRUE(writefile(noise, patterndata(8u << 20, 5)));
    const QString cliout = tmp.filePath("cli");
    const CommandOutcome cli = kovrecover({"--deep", image, cliout});
    ASSERT_EQ(cli.status, 0) << cli.err.toStdString();
    const auto expected = filetree(cliout);
    ASSERT_FALSE(expected.empty());

    platform::setblockdevicesenabled(false);
    platform::setimagefiles({noise, image});
    KOVDialog d;
    BoxAnswerer answerer;
    ASSERT_EQ(d.vollist->count(), 1);
    const QString tip = d.vollist->itemData(0, Qt::ToolTipRole).toString();
    EXPECT_TRUE(tip.contains("FAT32 (found), " + QString::number(area.clustersize) + " byte clusters")) << qPrintable(tip);

    const QString out = tmp.filePath("window");
    d.diredit->setText(out);
    d.recoverbt->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !answerer.boxes.isEmpty(); }, 10000));
    EXPECT_TRUE(answerer.boxes.last().text.contains(d.deepbox->text())) << qPrintable(answerer.boxes.last().text);
    EXPECT_FALSE(d.run.rununderway());
    EXPECT_TRUE(filetree(out).empty());

    d.deepbox->setChecked(true);
    const qsizetype before = answerer.boxes.size();
    d.recoverbt->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return answerer.boxes.size() > before && !d.run.rununderway(); }, 120000));
    EXPECT_TRUE(answerer.boxes.last().text.startsWith("Recovery accomplished!"));
    EXPECT_EQ(filetree(out), expected);
    platform::setimagefiles({});
}

// An exFAT card written and cleared by the FUSE driver: the window's run
// saves what kov-recover saves, plainly and, after a quick format, with
// the deep scan, and with carving too.
// A carved BMP, whose check cannot see a foreign cluster inside it: the
// window's end box calls it plausible in kov-recover's words.
TEST(GuiCarve, ThePlausibleCarvedFileIsCountedAsKovRecoverCountsIt)
{
    QTemporaryDir tmp;
    const QString image = tmp.filePath("card.img");
    ASSERT_TRUE(makefat(image, 16, 32u << 20, 8)) << lasterror();
    const QByteArray picture = formatfile("bmp", tmp.path(), 4);
    if (picture.isNull())
        KOV_SKIP() << "needs ImageMagick: " << lasterror();
    const BootGeometry g = bootgeometry(image);
    QFile card(image);
    ASSERT_TRUE(card.open(QIODevice::ReadWrite) && card.seek(qint64(g.datastart + 8 * g.clustersize)) &&
                card.write(picture) == picture.size());
    card.close();
    const CommandOutcome cli = kovrecover({"--carve", image, tmp.filePath("cli")});
    ASSERT_EQ(cli.status, 0) << cli.err.toStdString();
    const QString words = "1 plausible: whole in their structure, not proven to be one file";
    EXPECT_TRUE(cli.err.contains(words.toUtf8())) << cli.err.toStdString();
    platform::setblockdevicesenabled(false);
    platform::setimagefiles({image});
    KOVDialog d;
    BoxAnswerer answerer;
    d.carvebox->setChecked(true);
    d.diredit->setText(tmp.filePath("out"));
    d.recoverbt->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !answerer.boxes.isEmpty() && !d.run.rununderway(); }, 120000));
    EXPECT_TRUE(answerer.boxes[0].detail.section('\n', 0, 0).contains(
        "; 1 found by their contents alone (in lost/carved, " + words + ")."))
        << answerer.boxes[0].detail.toStdString();
    EXPECT_EQ(filetree(tmp.filePath("out")), filetree(tmp.filePath("cli")));
    platform::setimagefiles({});
}

TEST(GuiExfat, RunSavesWhatKovRecoverSaves)
{
    QTemporaryDir tmp;
    const QString image = tmp.filePath("card.img");
    ASSERT_TRUE(makeexfat(image, 32u << 20, 4096)) << lasterror();
    const QByteArray photo = patterndata(300000, 7), notes = patterndata(5000, 8);
    const QByteArray shot = formatfile("png", tmp.path(), 11);
    ASSERT_FALSE(shot.isNull()) << lasterror();
    {
        ExfatMount card(image);
        if (!card.ok())
            KOV_SKIP() << card.why();
        ASSERT_TRUE(card.mkdir("Trip") && card.write("Trip/Día 1.jpg", photo) && card.write("notes.txt", notes) &&
                    card.write("shot.png", shot) && card.write("kept.txt", patterndata(700, 9)));
        ASSERT_TRUE(card.remove("notes.txt") && card.remove("shot.png") && card.remove("Trip"));
        ASSERT_TRUE(card.unmount());
    }
    platform::setblockdevicesenabled(false);
    platform::setimagefiles({image});
    for (const int mode : {0, 1, 2}) {
        const bool deep = mode >= 1, carve = mode == 2;
        if (mode == 1) {
            ASSERT_TRUE(makeexfat(image, 32u << 20, 4096)) << lasterror();
        }
        const QString tag = QStringList{"plain", "deep", "carve"}[mode];
        const QString cliout = tmp.filePath("cli" + tag), out = tmp.filePath(tag);
        QStringList args{image, cliout};
        if (carve)
            args.prepend("--carve");
        if (deep)
            args.prepend("--deep");
        const CommandOutcome cli = kovrecover(args);
        ASSERT_EQ(cli.status, 0) << cli.err.toStdString();
        KOVDialog d;
        BoxAnswerer answerer;
        d.deepbox->setChecked(deep);
        d.carvebox->setChecked(carve);
        d.diredit->setText(out);
        d.recoverbt->click();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !answerer.boxes.isEmpty() && !d.run.rununderway(); }, 120000)) << tag;
        EXPECT_TRUE(answerer.boxes[0].text.startsWith("Recovery accomplished!")) << tag;
        const auto saved = filetree(out);
        EXPECT_EQ(saved, filetree(cliout)) << tag;
        int found = 0;
        for (const auto& [path, data] : saved)
            found += (path.endsWith("Día 1.jpg") && data == photo) + (path.endsWith("notes.txt") && data == notes) +
                     (data == shot);
        // The format rewrote the root, and the entries of notes.txt and
        // shot.png with it; the photo's set lies in its folder's own
        // cluster, and shot.png's bytes are found by their contents.
        EXPECT_EQ(found, deep ? 1 + carve : 3) << tag;
        if (carve) {
            EXPECT_EQ(std::count_if(saved.begin(), saved.end(),
                                    [&](const auto& f) { return f.first.startsWith("lost/carved/png/") && f.second == shot; }),
                      1);
        }
    }
    platform::setimagefiles({});
}

}  // namespace
