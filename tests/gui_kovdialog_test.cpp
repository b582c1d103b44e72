// The recovery window on Qt's offscreen platform, over FAT32 images made with
// mkfs.fat and mtools: start-up, the three commands and whole runs.
#include "app/kovdialog.h"
#include "support/mtoolsimage.h"
#include "support/qtprint.h"
#include "support/skip.h"
#include "support/tmpfs.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

using namespace testsupport;

namespace {

class QtEnvironment : public testing::Environment {
    void SetUp() override
    {
        static int argc = 1;
        static char name[] = "kov_gui_tests";
        static char* argv[] = {name, nullptr};
        qputenv("QT_QPA_PLATFORM", "offscreen");
        app = std::make_unique<QApplication>(argc, argv);
    }
    void TearDown() override { app.reset(); }
    std::unique_ptr<QApplication> app;
};
testing::Environment* const qtenvironment = testing::AddGlobalTestEnvironment(new QtEnvironment);

// While it lives, answers every modal window: a message box with OK, noting
// how it looked and whether the scan timer ran meanwhile; the directory
// chooser with pick.
struct Answerer : QObject {
    struct Box {
        QString title, text;
        bool warning, okonly, parented, ticking;
    };
    explicit Answerer(KOVDialog* dialog = nullptr) : d(dialog)
    {
        connect(&timer, &QTimer::timeout, this, [this] {
            QWidget* w = QApplication::activeModalWidget();
            if (auto* box = qobject_cast<QMessageBox*>(w)) {
                boxes.append({box->windowTitle(), box->text(), box->icon() == QMessageBox::Warning,
                              box->standardButtons() == QMessageBox::Ok, d && w->parentWidget() == d,
                              d && d->scantimer->isActive()});
                box->button(QMessageBox::Ok)->click();
            } else if (auto* chooser = qobject_cast<QFileDialog*>(w)) {
                chooser->setDirectory(pick);
                static_cast<QDialog*>(chooser)->accept();  // QFileDialog hides accept()
            }
        });
        timer.start(5);
    }
    QStringList texts(const QString& title) const
    {
        QStringList out;
        for (const Box& b : boxes)
            if (b.title == title)
                out.append(b.text);
        return out;
    }
    // Waits until the run has ended with its n-th "info" box.
    bool waitend(int n = 1)
    {
        return QTest::qWaitFor([&] { return texts("info").size() == n && !d->run.engine().runactive(); }, 60000);
    }
    KOVDialog* d;
    QTimer timer;
    QList<Box> boxes;
    QString pick;
};

struct FatFile {
    QString path;
    QByteArray data;
    bool deleted;
    QString recovered() const { return "k" + path.section('/', -1).mid(1); }
};

const QString collecting = QStringLiteral("Collecting information for recovery...");

// Two FAT32 volumes, listed as C:\ and D:\, with live and deleted files.
class GuiWindow : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(make(imagec, filesc) && make(imaged, filesd)) << lasterror();
        platform::setblockdevicesenabled(false);
        platform::setimagefiles({imagec, imaged});
    }
    bool make(const QString& image, const QList<FatFile>& files)
    {
        const QString local = tmp.filePath("staged");
        bool ok = makefat(image, 32, 40u << 20, 1);
        for (const FatFile& f : files) {
            const QString dir = f.path.section('/', 0, -2);
            if (ok && !dir.isEmpty() && mdir(image, dir).isNull())
                ok = mmd(image, dir);
            ok = ok && writefile(local, f.data) && mcopy(image, local, f.path);
        }
        for (const FatFile& f : files)
            ok = ok && (!f.deleted || mdel(image, f.path));
        return ok;
    }
    // dir holds exactly the deleted, non-empty files, with their contents.
    static void expectrecovered(const QString& dir, const QList<FatFile>& files)
    {
        QStringList want;
        for (const FatFile& f : files) {
            if (!f.deleted || f.data.isEmpty())
                continue;
            want.append(f.recovered());
            QFile saved(dir + '/' + f.recovered());
            EXPECT_TRUE(saved.open(QIODevice::ReadOnly) && saved.readAll() == f.data) << saved.fileName();
        }
        want.sort();
        EXPECT_EQ(QDir(dir).entryList(QDir::Files, QDir::Name), want);
    }
    // Button, status lines, then paused, collecting, saving, timer running.
    static QString state(const KOVDialog& d)
    {
        return QStringList{d.recoverbt->text(), d.namelabel->text(), d.sizelabel->text(), d.timelabel->text(),
                           QString::number(d.run.paused()) + QString::number(d.run.collecting()) +
                               QString::number(d.run.engine().saving) + QString::number(d.scantimer->isActive())}
            .join('|');
    }
    // The scan ticks while the event loop goes round three times: a started
    // zero-interval scan timer fires on each round. -1 when the loop stalls.
    static int ticksoverrounds(KOVDialog& d)
    {
        int ticks = 0, rounds = 0;
        const QMetaObject::Connection counting =
            QObject::connect(d.scantimer, &QTimer::timeout, [&] { ++ticks; });
        QTimer sentinel;
        QObject::connect(&sentinel, &QTimer::timeout, [&] { ++rounds; });
        sentinel.start(0);
        const bool went = QTest::qWaitFor([&] { return rounds >= 3; }, 60000);
        QObject::disconnect(counting);
        return went ? ticks : -1;
    }
    // Runs action once, right after the first tick after which when() holds.
    static void aftertick(KOVDialog& d, const std::function<bool()>& when, const std::function<void()>& action)
    {
        auto done = std::make_shared<bool>(false);
        QObject::connect(d.scantimer, &QTimer::timeout, &d, [=] {
            if (!*done && when()) {
                *done = true;
                action();
            }
        });
    }

    QTemporaryDir tmp;
    const QString imagec = tmp.filePath("c.img"), imaged = tmp.filePath("d.img"), out = tmp.filePath("out");
    const QList<FatFile> filesc = {
        {"KEEP.TXT", patterndata(3000, 1), false},      {"REPORT.DOC", patterndata(5000, 2), true},
        {"DOCS/NOTES.TXT", patterndata(1500, 3), true}, {"DOCS/LIVE.BIN", patterndata(700, 4), false},
        {"EMPTY.DAT", {}, true},                        {"PHOTO.JPG", patterndata(20000, 5), true}};
    const QList<FatFile> filesd = {{"DVOL.TXT", patterndata(2500, 11), true},
                                   {"DDIR/DEEP.BIN", patterndata(4096, 13), true}};
};

using GuiStartup = GuiWindow;

TEST_F(GuiStartup, WindowIsBuiltAndOnlyTheFirstVolumeInitialised)
{
    // Opens as the kernel saw them. Closes are watched too, or two opens in a
    // row would be merged into one event.
    const int inotify = inotify_init1(IN_NONBLOCK);
    const int watchc = inotify_add_watch(inotify, qPrintable(imagec), IN_OPEN | IN_CLOSE_NOWRITE);
    const int watchd = inotify_add_watch(inotify, qPrintable(imaged), IN_OPEN | IN_CLOSE_NOWRITE);
    KOVDialog d;
    std::map<int, int> opens;
    alignas(inotify_event) char buffer[4096];
    for (ssize_t got; (got = read(inotify, buffer, sizeof buffer)) > 0;) {
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            opens[event->wd] += (event->mask & IN_OPEN) ? 1 : 0;
            at += ssize_t(sizeof(inotify_event) + event->len);
        }
    }
    close(inotify);
    // Both are probed alike; C:\ once more, by the one initialisation.
    EXPECT_GE(opens[watchd], 1);
    EXPECT_EQ(opens[watchc], opens[watchd] + 1);
    EXPECT_EQ(d.run.engine().dbrparm.fstype, 1u);

    EXPECT_EQ(d.windowTitle(), "KOV - Pellicor for FAT V1.0");
    EXPECT_EQ(d.size(), QSize(400, 300));
    EXPECT_EQ(d.windowIcon().availableSizes(), QList<QSize>({{16, 16}, {32, 32}, {48, 48}}));
    EXPECT_EQ(d.disklabel->text(), "Select a disk from which files are recovered.");
    EXPECT_EQ(d.dirlabel->text(), "Select a directory in which recovered files are saved.");
    EXPECT_TRUE(d.disklabel->wordWrap() && d.dirlabel->wordWrap());
    EXPECT_EQ(d.diredit->text(), QDir::toNativeSeparators("./recovered/"));
    EXPECT_EQ(d.changedirbt->text(), "change");
    EXPECT_EQ(d.changedirbt->maximumSize(), QSize(64, 22));
    // At least 96 x 96 and, at whatever the font gives, wide enough for
    // the bold caption.
    EXPECT_EQ(d.recoverbt->minimumSize(), d.recoverbt->sizeHint().expandedTo(QSize(96, 96)));
    EXPECT_GT(d.recoverbt->sizeHint().width(),
              QFontMetrics(d.recoverbt->font()).horizontalAdvance(d.recoverbt->text()));
    EXPECT_EQ(d.recoverbt->font().pointSize(), 2 * QPushButton().font().pointSize());
    EXPECT_TRUE(d.recoverbt->font().bold());
    EXPECT_EQ(state(d), "Recover||||1000");
    ASSERT_EQ(d.vollist->count(), 2);
    EXPECT_EQ(d.vollist->itemText(1), "D:\\");
    EXPECT_TRUE(d.vollist->itemData(1, Qt::ToolTipRole).toString().startsWith("FAT32: " + imaged + " ("));

    const QWidget* cells[6][3] = {{d.disklabel, nullptr, d.dirlabel}, {d.vollist, nullptr, d.diredit},
                                  {nullptr, nullptr, d.changedirbt},  {},
                                  {nullptr, d.recoverbt, nullptr},    {d.namelabel, d.sizelabel, d.timelabel}};
    ASSERT_EQ(d.layout(), d.gridlayout);
    EXPECT_EQ(d.gridlayout->count(), 9);
    for (int row = 0; row < 6; ++row)
        for (int column = 0; column < 3; ++column) {
            QLayoutItem* item = d.gridlayout->itemAtPosition(row, column);
            EXPECT_EQ(item ? item->widget() : nullptr, cells[row][column]) << row << column;
        }
    // Widened, columns 0 and 2 share the extra width; 1 keeps the button's.
    d.show();
    d.resize(1000, 400);
    d.gridlayout->activate();
    EXPECT_EQ(d.gridlayout->cellRect(4, 1).width(), d.recoverbt->width());
    EXPECT_NEAR(d.gridlayout->cellRect(4, 0).width(), d.gridlayout->cellRect(4, 2).width(), 1);
    EXPECT_GT(d.gridlayout->cellRect(4, 0).width(), 300);

    const QDateTime first(QDate(1980, 1, 1), QTime(0, 0)), last(QDate(2020, 1, 1), QTime(0, 0));
    const RunEngine& core = d.run.engine();
    EXPECT_EQ(core.minutecount, first.secsTo(last) / 60);
    EXPECT_EQ(std::count(core.minutetable.get(), core.minutetable.get() + core.minutecount, 0xFFFF), core.minutecount);
}

TEST_F(GuiStartup, WithoutAFatVolumeTheWarningIsAllThatShows)
{
    platform::setimagefiles({tmp.filePath("none.img")});
    Answerer answerer;
    KOVDialog d;
    EXPECT_TRUE(d.novolume());
    EXPECT_FALSE(d.isVisible());
    EXPECT_EQ(d.run.engine().hdisk, nullptr);
    // The box's first line, then what a user of this system can do.
    const QStringList texts = answerer.texts("error");
    ASSERT_EQ(texts.size(), 1);
    EXPECT_TRUE(texts[0].startsWith("Can not open any FAT partition. \nNo FAT12, FAT16, FAT32 or exFAT card")) << texts[0];
    for (const char* advice : {"Insert the card", "kov card.img", "sudo kov"})
        EXPECT_TRUE(texts[0].contains(advice)) << advice;
    EXPECT_FALSE(texts[0].contains("rivode.exe"));
}

TEST(GuiUsage, HelpPrintsUsageWithoutADisplay)
{
    QProcess kov;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    env.remove("QT_QPA_PLATFORM");
    kov.setProcessEnvironment(env);
    kov.start(QStringLiteral(KOV_BIN), {"--help"});
    ASSERT_TRUE(kov.waitForFinished(30000));
    EXPECT_EQ(kov.exitCode(), 0);
    EXPECT_TRUE(kov.readAllStandardOutput().startsWith("Usage: kov [IMAGE ...]\n"));
}

using GuiCommands = GuiWindow;

TEST_F(GuiCommands, ButtonCyclesAndARunRecoversTheDeletedFiles)
{
    KOVDialog d;
    Answerer answerer(&d);
    d.diredit->setText(out);  // typed without the separator
    d.recoverbt->click();
    EXPECT_EQ(state(d), "Pause|" + collecting + "|||0101");
    EXPECT_EQ(d.run.recoverdir(), out + '/');
    d.recoverbt->click();
    EXPECT_EQ(state(d), "Recover|" + collecting + "|||1100");
    d.recoverbt->click();
    EXPECT_EQ(state(d), "Pause|" + collecting + "|||0101");

    // Paused in the saving pass after the first file: nothing moves, and
    // resuming keeps the status lines and the pass.
    aftertick(d, [&] { return d.namelabel->text() == "kEPORT.DOC"; }, [&] { d.recoverbt->click(); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return d.run.paused(); }, 60000));
    // mtools stamped every file with the tools' "now".
    const QString stamp = "modify time:" + QDateTime::fromSecsSinceEpoch(tooloptions().now).toString("M/d,yyyy");
    EXPECT_EQ(state(d), "Recover|kEPORT.DOC|5000 bytes|" + stamp + "|1010");
    EXPECT_TRUE(QRegularExpression("^Paused\\. Saving deleted files: \\d+%$").match(d.progresslabel->text()).hasMatch())
        << d.progresslabel->text();
    EXPECT_EQ(ticksoverrounds(d), 0);
    EXPECT_EQ(QDir(out).entryList(QDir::Files), QStringList("kEPORT.DOC"));
    d.recoverbt->click();
    EXPECT_EQ(state(d), "Pause|kEPORT.DOC|5000 bytes|" + stamp + "|0011");

    ASSERT_TRUE(answerer.waitend());
    ASSERT_EQ(answerer.boxes.size(), 1);
    const Answerer::Box& info = answerer.boxes[0];
    EXPECT_TRUE(info.text.startsWith("Recovery accomplished!\nThe first character of the name of recovered file"));
    EXPECT_TRUE(!info.warning && info.okonly && info.parented && !info.ticking);
    EXPECT_EQ(state(d), "Recover|kHOTO.JPG|20000 bytes|" + stamp + "|1000");
    EXPECT_EQ(d.progresslabel->text(), "Recovery ended: 3 files saved in " + out + ".");
    expectrecovered(out, filesc);
}

// An output directory that takes no files: one box naming it and the
// system's reason, and no run.
TEST_F(GuiCommands, AnOutputThatTakesNoFilesIsOneBoxBeforeTheRun)
{
    Tmpfs readonly(tmp.filePath("ro"), "1m", true);
    if (!readonly.ok())
        KOV_SKIP() << "needs root for a read-only tmpfs";
    KOVDialog d;
    Answerer answerer(&d);
    d.diredit->setText(tmp.filePath("ro"));
    d.recoverbt->click();
    EXPECT_EQ(answerer.texts("error"),
              QStringList("Can not create recovered files in " + tmp.filePath("ro") + "/: Read-only file system"));
    EXPECT_EQ(state(d), "Recover||||1000");
}

// The walk's percent grows in both passes, and a file name longer than the
// window leaves its width as it was, the whole name in the line's tooltip.
TEST(GuiProgress, PercentGrowsAndLongNamesKeepTheWidth)
{
    QTemporaryDir tmp;
    const QString image = tmp.filePath("card.img"), staged = tmp.filePath("staged");
    const QString longname = QString("A holiday photo with a name much longer than any window is wide ").repeated(3) + ".jpg";
    bool ok = makefat(image, 32, 40u << 20, 1);
    for (int i = 0; ok && i < 30; ++i)
        ok = mmd(image, QStringLiteral("DIR%1").arg(i)) && writefile(staged, patterndata(2000, i)) &&
             mcopy(image, staged, QStringLiteral("DIR%1/F.BIN").arg(i)) && mdel(image, QStringLiteral("DIR%1/F.BIN").arg(i));
    ok = ok && writefile(staged, patterndata(3000, 99)) && mcopy(image, staged, longname) && mdel(image, longname);
    ASSERT_TRUE(ok) << lasterror();
    platform::setblockdevicesenabled(false);
    platform::setimagefiles({image});
    KOVDialog d;
    Answerer answerer(&d);
    d.show();
    d.namesbox->setChecked(true);
    d.diredit->setText(tmp.filePath("out"));
    const int width = d.width();
    d.recoverbt->click();
    EXPECT_EQ(d.progresslabel->text(), "Reading the folders: 0%");
    // Step by step outside the slices, so that every file's lines show.
    d.scantimer->stop();
    std::map<RUNPHASE, QList<int>> percents;
    bool wide = false;
    for (int steps = 0;
         steps < 10000 && (d.run.phase() == RUNPHASE::collecting || d.run.phase() == RUNPHASE::saving); ++steps) {
        percents[d.run.phase()].append(d.run.walkpercent());
        d.run.step();
        QCoreApplication::processEvents();  // the window fits itself to the new lines
        wide = wide || d.width() != width;
    }
    d.scantimer->start(0);
    ASSERT_TRUE(answerer.waitend());
    EXPECT_FALSE(wide);
    // The last file saved, in the root after the folders.
    EXPECT_EQ(d.namelabel->text(), longname);
    EXPECT_EQ(d.namelabel->toolTip(), longname);
    EXPECT_TRUE(QFileInfo::exists(tmp.filePath("out/") + longname));
    for (const RUNPHASE pass : {RUNPHASE::collecting, RUNPHASE::saving}) {
        const QList<int>& p = percents[pass];
        ASSERT_FALSE(p.isEmpty());
        EXPECT_TRUE(std::is_sorted(p.begin(), p.end())) << int(pass);
        EXPECT_EQ(p.front(), 0);
        EXPECT_GE(p.back(), 90) << int(pass);
        EXPECT_TRUE(std::any_of(p.begin(), p.end(), [](int v) { return v > 20 && v < 80; })) << int(pass);
    }
    platform::setimagefiles({});
}

TEST_F(GuiCommands, DirectoriesAreExaminedAtEveryPressAndOnlyThen)
{
    KOVDialog d;
    Answerer answerer(&d);
    const QString notmade = tmp.filePath("file/sub"), picked = tmp.filePath("picked");
    ASSERT_TRUE(writefile(tmp.filePath("file"), "not a directory") && QDir().mkpath(picked));
    const QString chooseone = "You must select a disk to recover and a directory to save the recovered files, "
                              "and the directory can not be on the disk to recover.";
    for (const QString& dir : {QString(), notmade}) {
        d.diredit->setText(dir);
        d.recoverbt->click();
        EXPECT_EQ(state(d), "Recover||||1000");
    }
    EXPECT_EQ(answerer.texts("error"),
              QStringList({chooseone, "Can not create the directory to save the recovered files!\n" +
                                          tmp.filePath("file") + ": Not a directory"}));
    for (const Answerer::Box& box : answerer.boxes)
        EXPECT_TRUE(box.warning && box.okonly && box.parented);

    // A relative directory that begins with the volume's letter is not on
    // it: made in the current directory. During the run, neither a refused
    // press nor a directory picked with "change" moves the run away from the
    // directory examined at its start.
    const QString before = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(tmp.path()));
    d.diredit->setText("c-out/new");
    d.recoverbt->click();
    const QString made = tmp.filePath("c-out/new");
    EXPECT_TRUE(QFileInfo(made).isDir());
    d.diredit->setText(notmade);
    d.recoverbt->click();
    EXPECT_FALSE(answerer.boxes.last().ticking);
    EXPECT_EQ(state(d), "Pause|" + collecting + "|||0101");
    answerer.pick = picked;
    d.changedirbt->click();
    EXPECT_EQ(d.diredit->text(), picked + '/');
    const bool ended = answerer.waitend();
    QDir::setCurrent(before);
    ASSERT_TRUE(ended);
    expectrecovered(made, filesc);
    EXPECT_TRUE(QDir(picked).isEmpty());

    d.recoverbt->click();
    ASSERT_TRUE(answerer.waitend(2));
    expectrecovered(picked, filesc);
}

TEST_F(GuiCommands, AnotherVolumeEndsTheRunAndTheNextPressStartsAfresh)
{
    KOVDialog d;
    Answerer answerer(&d);
    d.diredit->setText(out);
    d.recoverbt->click();
    // Chosen as the saving pass begins: no file saved, no info box, and the
    // status lines say why the run stopped.
    aftertick(d, [&] { return d.run.engine().saving; }, [&] { d.vollist->setCurrentIndex(1); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return d.vollist->currentIndex() == 1; }, 60000));
    EXPECT_EQ(ticksoverrounds(d), 0);
    EXPECT_EQ(state(d), "Recover|Recovery of C:\\ stopped: another volume was chosen.|||1000");
    EXPECT_TRUE(answerer.boxes.isEmpty());
    EXPECT_TRUE(QDir(out).isEmpty());

    // Paused in the saving pass of D:\ after its first file, then C:\.
    d.recoverbt->click();
    aftertick(d, [&] { return d.namelabel->text() == "kVOL.TXT"; }, [&] { d.recoverbt->click(); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return d.run.paused(); }, 60000));
    d.vollist->setCurrentIndex(0);
    EXPECT_EQ(state(d), "Recover|Recovery of D:\\ stopped: another volume was chosen.|||1000");
    d.recoverbt->click();
    EXPECT_EQ(state(d), "Pause|" + collecting + "|||0101");
    ASSERT_TRUE(answerer.waitend());
    EXPECT_EQ(answerer.boxes.size(), 1);
    expectrecovered(out, filesc + QList<FatFile>{filesd[0]});
}

// The source is mounted read-only through a loop device. The kernel may lack
// vfat, so the image holds ext2 with a mkfs.fat boot sector in its first
// sector, which ext2 leaves unused: listed as FAT32, mounted as ext2.
TEST(GuiSameVolume, ADirectoryOnTheSourceIsRefused)
{
    QTemporaryDir tmp;
    const QString image = tmp.filePath("volume.img"), mnt = tmp.filePath("mnt");
    QByteArray loop;
    ASSERT_TRUE(makefat(image, 32, 40u << 20, 1) && QDir().mkpath(mnt)) << lasterror();
    QFile file(image);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    const QByteArray boot = file.read(512);
    if (!runtool("mke2fs", {"-q", "-F", "-t", "ext2", image}) || !file.seek(0) || file.write(boot) != 512 ||
        !file.flush() || !runtool("losetup", {"-r", "-f", "--show", image}, &loop))
        KOV_SKIP() << "no loop device: " << lasterror();
    const QString device = QString::fromLatin1(loop).trimmed();
    const bool mounted = runtool("mount", {"-r", "-t", "ext2", device, mnt});
    for (const QString& source : mounted ? QStringList{image, device} : QStringList()) {
        platform::setblockdevicesenabled(false);
        platform::setimagefiles({source});
        KOVDialog d;
        Answerer answerer(&d);
        for (const QString& dir : {mnt, mnt + "/lost+found/", mnt + "/not/made"}) {
            d.diredit->setText(dir);
            d.recoverbt->click();
        }
        EXPECT_EQ(answerer.texts("error"),
                  QStringList(3, "Do not save recovered files on the same disk being recovered!")) << source;
        EXPECT_EQ(d.recoverbt->text(), "Recover");
    }
    runtool("umount", {mnt});
    runtool("losetup", {"-d", device});
    if (!mounted)
        KOV_SKIP() << "cannot mount: " << lasterror();
}

}  // namespace

TEST_F(GuiCommands, AfterAFailedVolumeChangeRecoverWalksNothing)
{
    KOVDialog d;
    Answerer answerer(&d);
    d.diredit->setText(out);
    // D:\ was listed, then shrank below its boot sector.
    ASSERT_TRUE(QFile::resize(imaged, 300));
    d.vollist->setCurrentIndex(1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return answerer.boxes.size() == 1; }));
    d.recoverbt->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return answerer.boxes.size() == 2; }));
    EXPECT_EQ(answerer.texts("error"), (QStringList{"get disk geometry error", "disk open error!"}));
    EXPECT_EQ(state(d), "Recover||||1000");
    EXPECT_FALSE(QDir(out).exists());
}
