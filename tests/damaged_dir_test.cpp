// Whole runs on volumes whose directories are damaged: subdirectories that
// point at themselves or an ancestor, directory chains that loop, one
// directory shared by many entries, a 1,000-level tree, and entries with
// every byte value in their names. Every run must end, save each deleted
// file once, inside the output directory, and leave the image untouched.
#include "support/fatbuilder.h"
#include "support/mtoolsimage.h"
#include "support/qtprint.h"
#include "support/recordingcore.h"
#include "support/wholerun.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <set>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace testsupport;

namespace {

using Outcome = RunOutcome;

class DamagedDir : public ::testing::TestWithParam<int> {
protected:
    QTemporaryDir tmp;
    int runs = 0;
    int images = 0;

    bool fat32() const { return GetParam() == 32; }
    FatLayout layout(std::uint64_t bytes = 1u << 20) const
    {
        return fat32() ? fat32layout(bytes) : fat16layout(bytes);
    }
    std::uint32_t rootcluster(const FatBuilder& b) const { return fat32() ? b.layout().rootcluster : 0; }

    QString save(const FatBuilder& b)
    {
        const QString image = tmp.filePath(QStringLiteral("v%1.img").arg(images++));
        EXPECT_TRUE(b.save(image));
        return image;
    }

    Outcome recover(const FatBuilder& b) { return recoverimage(save(b)); }

    // Both passes into a fresh directory, named in *outdir.
    Outcome recoverimage(const QString& image, QString* outdir = nullptr)
    {
        const QString out = tmp.filePath(QStringLiteral("out%1").arg(runs++));
        if (outdir)
            *outdir = out;
        return wholerun(image, out);
    }

    // A live directory entry in dir's slot that names cluster target.
    static void linkdir(FatBuilder& b, std::uint32_t dir, int slot, const char* name, std::uint32_t target)
    {
        FatBuilder::Entry e;
        e.name83 = shortname(name);
        e.attr = 0x10;
        e.startcluster = target;
        b.putentry(dir, slot, e);
    }

    // A deleted file of the given contents at a free cluster from hint on.
    static void deletedfile(FatBuilder& b, std::uint32_t dir, int slot, const char* name, const QByteArray& data,
                            std::uint32_t hint)
    {
        b.addfile(dir, slot, shortname(name), data, hint);
        b.deleteentry(dir, slot);
    }
};

}  // namespace

// ---- directories that point back ----

TEST_P(DamagedDir, SubdirectoryPointingAtItselfIsNotEnteredAgain)
{
    FatBuilder b(layout());
    const std::uint32_t d = b.adddir(0, 0, shortname("D"));
    linkdir(b, d, 2, "SELF", d);
    const QByteArray data = patterndata(900, 1);
    deletedfile(b, d, 3, "GONE.BIN", data, 300);

    const Outcome o = recover(b);
    expectended(o);
    EXPECT_EQ(o.files, (QMap<QString, QByteArray>{{"kONE.BIN", data}}));
    EXPECT_TRUE(o.warnings.isEmpty()) << o.warnings.join('|');
}

TEST_P(DamagedDir, SubdirectoriesPointingAtAncestorsAreNotEnteredAgain)
{
    FatBuilder b(layout());
    const std::uint32_t d = b.adddir(0, 0, shortname("D"));
    const std::uint32_t g = b.adddir(d, 2, shortname("G"));
    linkdir(b, g, 2, "PARENT", d);
    linkdir(b, g, 3, "ROOT", fat32() ? b.layout().rootcluster : 0);
    const std::uint32_t h = b.adddir(g, 4, shortname("H"));
    linkdir(b, h, 2, "GRAND", d);
    const QByteArray one = patterndata(600, 2);
    const QByteArray two = patterndata(700, 3);
    const QByteArray three = patterndata(800, 4);
    deletedfile(b, d, 3, "ONE.BIN", one, 300);
    deletedfile(b, g, 5, "TWO.BIN", two, 400);
    deletedfile(b, h, 3, "THREE.BIN", three, 500);

    const Outcome o = recover(b);
    expectended(o);
    EXPECT_EQ(o.files, (QMap<QString, QByteArray>{{"kNE.BIN", one}, {"kWO.BIN", two}, {"kHREE.BIN", three}}));
    EXPECT_TRUE(o.warnings.isEmpty()) << o.warnings.join('|');
}

TEST_P(DamagedDir, DirectoryChainThatLoopsIsReadOnceRound)
{
    // D spans two clusters whose chain returns to the first; each cluster
    // holds a deleted file and a subdirectory.
    FatBuilder b(layout());
    const std::uint32_t d = b.adddir(0, 0, shortname("D"));
    const int perclus = int(b.clusterbytes() / 32);
    const QByteArray first = patterndata(500, 5);
    const QByteArray second = patterndata(600, 6);
    const QByteArray below = patterndata(700, 7);
    deletedfile(b, d, 2, "FIRST.BIN", first, 300);
    deletedfile(b, d, perclus, "SECOND.BIN", second, 400);
    const std::uint32_t s = b.adddir(d, perclus + 1, shortname("S"), 500);
    deletedfile(b, s, 2, "BELOW.BIN", below, 600);
    const std::uint32_t tail =
        std::uint32_t((b.slotoffset(d, perclus) - b.clusteroffset(2)) / b.clusterbytes() + 2);
    b.setfat(tail, d);

    const Outcome o = recover(b);
    expectended(o);
    EXPECT_EQ(o.files,
              (QMap<QString, QByteArray>{{"kIRST.BIN", first}, {"kECOND.BIN", second}, {"kELOW.BIN", below}}));
    EXPECT_TRUE(o.warnings.isEmpty()) << o.warnings.join('|');
}

TEST_P(DamagedDir, DirectorySharedByManyEntriesIsWalkedOncePerPass)
{
    // Eight levels; each level's directory is named by eight entries of the
    // level above. Walking every path would visit the last level 8^8 times.
    FatBuilder b(layout());
    const int levels = 8;
    const int fan = 8;
    std::vector<std::uint32_t> dirs;
    for (int l = 0; l < levels; ++l)
        dirs.push_back(b.adddir(0, 20 + l, shortname(("L" + std::to_string(l)).c_str())));
    for (int l = 1; l < levels; ++l)
        for (int k = 0; k < fan; ++k)
            linkdir(b, dirs[std::size_t(l - 1)], 2 + k, ("S" + std::to_string(k)).c_str(), dirs[std::size_t(l)]);
    const QByteArray data = patterndata(300, 8);
    deletedfile(b, dirs.back(), 2 + fan, "LEAF.BIN", data, 300);

    const Outcome o = recover(b);
    expectended(o);
    EXPECT_EQ(o.files, (QMap<QString, QByteArray>{{"kEAF.BIN", data}}));
    EXPECT_TRUE(o.warnings.isEmpty()) << o.warnings.join('|');
    // Both passes: each slot of each directory about once.
    EXPECT_LT(o.ticks, 1000);
}

// ---- a deep tree ----

namespace {

struct Usage {
    bool ended = false;
    long maxrsskb = 0;
    double seconds = 0;
};

// Runs kov-recover on image into out and returns its peak resident size and
// wall time. Under AddressSanitizer freed blocks are held back (256 MB by
// default), which would swamp the figure: the quarantine is turned off.
Usage measuredrun(const QString& image, const QString& out)
{
    Usage u;
    QByteArray asan = qgetenv("ASAN_OPTIONS");
    asan += QByteArray(asan.isEmpty() ? "" : ":") + "quarantine_size_mb=0";
    const QByteArray img = QFile::encodeName(image);
    const QByteArray dir = QFile::encodeName(out);
    QElapsedTimer clock;
    clock.start();
    const pid_t child = fork();
    if (child == 0) {
        setenv("ASAN_OPTIONS", asan.constData(), 1);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDERR_FILENO);
        execl(KOV_RECOVER_BIN, KOV_RECOVER_BIN, img.constData(), dir.constData(), static_cast<char*>(nullptr));
        _exit(127);
    }
    if (child < 0)
        return u;
    int status = 0;
    rusage usage{};
    if (wait4(child, &status, 0, &usage) != child)
        return u;
    u.seconds = double(clock.nsecsElapsed()) / 1e9;
    u.ended = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    u.maxrsskb = usage.ru_maxrss;
    return u;
}

}  // namespace

TEST_P(DamagedDir, ThousandLevelTreeEndsWithBoundedMemory)
{
    constexpr int depth = 1000;
    FatBuilder b(layout(4u << 20));
    std::vector<std::uint32_t> dirs;
    std::uint32_t parent = rootcluster(b);
    for (int level = 0; level < depth; ++level) {
        parent = b.adddir(level == 0 ? 0 : parent, level == 0 ? 0 : 2, shortname("D"));
        dirs.push_back(parent);
    }
    // Deleted files after all directories, each on its own clusters, so that
    // nothing reuses them. Distinct names keep the measure on the walk, not
    // on the search for a free name.
    for (int level = 0; level < depth; ++level)
        deletedfile(b, dirs[std::size_t(level)], 3, ("F" + std::to_string(level) + ".TXT").c_str(),
                    patterndata(40, std::uint32_t(level)), dirs.back() + 1 + std::uint32_t(level));
    const QString image = save(b);
    const QByteArray before = sha256(image);

    // The same run on a volume with one directory gives the baseline.
    FatBuilder flat(layout(4u << 20));
    deletedfile(flat, flat.adddir(0, 0, shortname("D")), 2, "F.TXT", patterndata(40, 1), 100);
    const QString flatout = tmp.filePath("flat-out");
    ASSERT_TRUE(QDir().mkpath(flatout));
    const Usage base = measuredrun(save(flat), flatout);
    ASSERT_TRUE(base.ended);

    const QString out = tmp.filePath("deep-out");
    ASSERT_TRUE(QDir().mkpath(out));
    const Usage deep = measuredrun(image, out);
    ASSERT_TRUE(deep.ended) << "the run on the deep tree did not end";
    EXPECT_EQ(sha256(image), before);

    // Every level's deleted file, once, directly in the output directory.
    const QStringList saved = QDir(out).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    EXPECT_EQ(saved.size(), depth);
    std::set<QByteArray> contents;
    for (const QString& name : saved) {
        QFile f(out + '/' + name);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << name;
        contents.insert(f.readAll());
    }
    for (int level = 0; level < depth; ++level)
        EXPECT_TRUE(contents.count(patterndata(40, std::uint32_t(level)))) << "level " << level;

    std::printf("[ measure  ] %d-level FAT%d tree: %.2f s, peak RSS %ld KB; one directory: %.2f s, %ld KB\n",
                depth, GetParam(), deep.seconds, deep.maxrsskb, base.seconds, base.maxrsskb);
    RecordProperty("seconds", std::to_string(deep.seconds));
    RecordProperty("maxrsskb", std::to_string(deep.maxrsskb));
    // The walk holds a few copies of the chain of ancestors, which share
    // their directories' contents: a few megabytes at this depth.
    EXPECT_LT(deep.maxrsskb - base.maxrsskb, 64 * 1024);
}

// ---- names ----

TEST_P(DamagedDir, EveryByteValueInANameStaysInsideTheOutputDirectory)
{
    FatBuilder b(layout(2u << 20));
    std::map<QByteArray, int> expected;  // contents -> byte value
    for (int v = 0; v < 256; ++v) {
        const QByteArray data = patterndata(100, 1000 + std::uint32_t(v));
        QByteArray name(11, char(v));
        name[0] = char(0xE5);
        b.addfile(0, v, name, data, std::uint32_t(300 + v));
        b.deleteentry(0, v);
        expected[data] = v;
    }
    // The same bytes in the name of a live directory holding a deleted file.
    const std::uint32_t d = b.adddir(0, 256, QByteArray("A/..\\..:*?\"", 11), 700);
    const QByteArray inner = patterndata(100, 5000);
    deletedfile(b, d, 2, "IN.BIN", inner, 800);
    expected[inner] = -1;

    QString out;
    const Outcome o = recoverimage(save(b), &out);
    expectended(o);
    EXPECT_TRUE(o.warnings.isEmpty()) << o.warnings.join('|');
    // One plain file per deleted entry, each with its own contents, and
    // nothing else anywhere below the test's directory.
    EXPECT_EQ(o.files.size(), 257);
    std::set<int> seen;
    for (auto it = o.files.cbegin(); it != o.files.cend(); ++it) {
        EXPECT_FALSE(it.key().contains('/'));
        const auto found = expected.find(it.value());
        ASSERT_NE(found, expected.end()) << "unexpected contents in " << it.key();
        EXPECT_TRUE(seen.insert(found->second).second) << it.key();
    }
    EXPECT_EQ(QDir(out).entryList(QDir::Dirs | QDir::NoDotAndDotDot), QStringList());
    const QStringList top = QDir(tmp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    for (const QString& item : top)
        EXPECT_TRUE(item.startsWith("out") || item.endsWith(".img")) << "written outside: " << item;
    // '/' becomes '_'; a second byte from 0x80 becomes 'o'; bytes from 0x80
    // are code page 437; the erased first byte is 'k'.
    EXPECT_EQ(o.files.value("k_______.___"), patterndata(100, 1000 + '/'));
    EXPECT_EQ(o.files.value(QString::fromUtf8("koÉÉÉÉÉÉ.ÉÉÉ")), patterndata(100, 1000 + 0x90));
    EXPECT_EQ(o.files.value("kAAAAAAA.AAA"), patterndata(100, 1000 + 'A'));
}

INSTANTIATE_TEST_SUITE_P(Widths, DamagedDir, ::testing::Values(16, 32),
                         [](const auto& info) { return "Fat" + std::to_string(info.param); });
