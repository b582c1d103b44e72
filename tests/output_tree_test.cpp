// The output tree of kov-recover: folder names that files already took,
// the reserved top folders lost/ and damaged/, symbolic links planted in
// the output directory, control characters in names, and lost trees deeper
// than the output can hold. Crafted volumes (FatBuilder) run through the
// real binary into real output directories.
#include "support/fatbuilder.h"
#include "support/kovrecoverrun.h"
#include "support/mtoolsimage.h"
#include "support/qtprint.h"
#include "support/recordingcore.h"
#include "support/wholerun.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <climits>

using namespace testsupport;

namespace {

FatBuilder::Entry entry(const QByteArray& name83, std::uint8_t attr, std::uint32_t start, std::uint32_t size = 0)
{
    FatBuilder::Entry e;
    e.name83 = name83;
    e.attr = attr;
    e.startcluster = start;
    e.size = size;
    return e;
}

QByteArray erased(const char* dotted)
{
    QByteArray name = shortname(dotted);
    name[0] = char(0xE5);
    return name;
}

// The long-name slots of text for the short name name83, in directory
// order; deleted slots carry 0xE5 where the order number was. The checksum
// is the one of the name before it was erased (its first byte the long
// name's first character).
std::vector<QByteArray> longslots(const QString& text, const QByteArray& name83, bool deleted)
{
    QByteArray original = name83;
    if (deleted)
        original[0] = char(text[0].toUpper().toLatin1());
    std::uint8_t sum = 0;
    for (const char c : original)
        sum = std::uint8_t(((sum & 1) << 7) + (sum >> 1) + std::uint8_t(c));
    static const int at[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    const int parts = int((text.size() + 12) / 13);
    std::vector<QByteArray> out;
    for (int part = parts; part >= 1; --part) {
        QByteArray raw(32, '\0');
        auto* p = reinterpret_cast<unsigned char*>(raw.data());
        p[0] = deleted ? 0xE5 : std::uint8_t(part | (part == parts ? 0x40 : 0));
        p[11] = 0x0F;
        p[13] = sum;
        for (int i = 0; i < 13; ++i) {
            const qsizetype k = qsizetype(part - 1) * 13 + i;
            put16(p + at[i], k < text.size() ? text[k].unicode() : k == text.size() ? 0 : 0xFFFF);
        }
        out.push_back(raw);
    }
    return out;
}

// Puts the long-name slots and then the entry from slot on; returns the
// next free slot.
int putnamed(FatBuilder& fat, std::uint32_t dir, int slot, const QString& longname, const FatBuilder::Entry& e)
{
    for (const QByteArray& raw : longslots(longname, e.name83, std::uint8_t(e.name83[0]) == 0xE5))
        fat.putrawslot(dir, slot++, reinterpret_cast<const unsigned char*>(raw.constData()));
    fat.putentry(dir, slot, e);
    return slot + 1;
}

// Relative path -> contents of every file below dir (links not followed).
QMap<QString, QByteArray> tree(const QString& dir)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (!QFileInfo(path).isSymLink())
            files.insert(QDir(dir).relativeFilePath(path), contents(path));
    }
    return files;
}

// The volume of the collision cases (FAT32): deleted root files whose long
// names are "lost" and "damaged", a deleted JUNK.JPG that is no JPEG, and a
// lost folder (cluster 100) holding a deleted file FOO and a deleted folder
// GOO (with FILE.TXT): both come back as kOO.
QString collisionvolume(const QString& dir)
{
    FatBuilder fat(fat32layout());
    int slot = putnamed(fat, 0, 0, "lost", entry(erased("LOST"), 0x20, 2000, 100));
    slot = putnamed(fat, 0, slot, "damaged", entry(erased("DAMAGED"), 0x20, 2010, 100));
    fat.putentry(0, slot, entry(erased("JUNK.JPG"), 0x20, 2020, 600));
    fat.writecluster(2000, patterndata(100, 1));
    fat.writecluster(2010, patterndata(100, 2));
    fat.writecluster(2020, patterndata(512, 3));
    fat.writecluster(2021, patterndata(88, 4));
    fat.putentry(100, 0, entry(shortname("."), 0x10, 100));
    fat.putentry(100, 1, entry(shortname(".."), 0x10, 0));
    fat.putentry(100, 2, entry(erased("FOO"), 0x20, 110, 100));
    fat.putentry(100, 3, entry(erased("GOO"), 0x10, 120));
    fat.putentry(120, 0, entry(shortname("."), 0x10, 120));
    fat.putentry(120, 1, entry(shortname(".."), 0x10, 100));
    fat.putentry(120, 2, entry(shortname("FILE.TXT"), 0x20, 130, 100));
    fat.writecluster(110, patterndata(100, 5));
    fat.writecluster(130, patterndata(100, 6));
    for (const std::uint32_t c : {100u, 120u})
        fat.setfat(c, 0);
    const QString image = dir + "/collide.img";
    return fat.save(image) ? image : QString();
}

struct COLLISION {
    const char* what;
    QStringList args;
    // Planted in OUTDIR before the run: a user's file ("path") or a link
    // to the victim folder beside OUTDIR ("path->").
    QStringList planted;
    QStringList expected;  // every file below OUTDIR afterwards, sorted
};

void PrintTo(const COLLISION& c, std::ostream* os) { *os << c.what; }

class OutputCollisions : public ::testing::TestWithParam<COLLISION> {};

}  // namespace

// A folder whose name a file took, and a reserved top folder whose name a
// file, a user's file or a planted link holds, take "(n)"; nothing is
// written through a link and every file comes back.
TEST_P(OutputCollisions, FoldersTakeNumberedNamesAndNoLinkIsFollowed)
{
    const COLLISION& c = GetParam();
    QTemporaryDir dir;
    const QString image = collisionvolume(dir.path());
    ASSERT_FALSE(image.isEmpty());
    const QString out = dir.filePath("out");
    const QString victim = dir.filePath("victim");
    ASSERT_TRUE(QDir().mkpath(out));
    ASSERT_TRUE(QDir().mkpath(victim));
    bool linked = false;
    for (const QString& p : c.planted) {
        if (p.endsWith("->")) {
            const QString at = out + '/' + p.chopped(2);
            ASSERT_TRUE(QDir().mkpath(QFileInfo(at).path()));
            ASSERT_TRUE(QFile::link(victim, at));
            linked = true;
        } else {
            ASSERT_TRUE(writefile(out + '/' + p, "the user's own"));
        }
    }
    const CommandOutcome run = kovrecover(c.args + QStringList{image, out});
    EXPECT_EQ(run.status, 0) << run.err.toStdString();
    const auto files = tree(out);
    EXPECT_EQ(files.keys(), c.expected);
    EXPECT_TRUE(QDir(victim).isEmpty()) << "written through a link";
    EXPECT_EQ(run.err.contains("symbolic link"), linked) << run.err.toStdString();
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (it.key().endsWith("FILE.TXT")) {
            EXPECT_EQ(it.value(), patterndata(100, 6)) << it.key();
        }
        if (it.key().endsWith("/kOO")) {
            EXPECT_EQ(it.value(), patterndata(100, 5)) << it.key();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Names, OutputCollisions,
    ::testing::Values(
        COLLISION{"a lost file and a lost folder both kOO",
                  {"--deep"},
                  {},
                  {"kAMAGED", "kOST", "kUNK.JPG", "lost/dir00100/kOO", "lost/dir00100/kOO(1)/FILE.TXT"}},
        COLLISION{"a root file named lost",
                  {"--deep", "--original-names"},
                  {},
                  {"damaged", "kUNK.JPG", "lost(1)", "lost/dir00100/kOO", "lost/dir00100/kOO(1)/FILE.TXT"}},
        COLLISION{"a user's file named lost",
                  {"--deep"},
                  {"lost"},
                  {"kAMAGED", "kOST", "kUNK.JPG", "lost", "lost(1)/dir00100/kOO",
                   "lost(1)/dir00100/kOO(1)/FILE.TXT"}},
        COLLISION{"a root file named damaged",
                  {"--verify", "--original-names"},
                  {},
                  {"damaged(1)", "damaged/kUNK.JPG", "lost"}},
        COLLISION{"a link planted as lost",
                  {"--deep"},
                  {"lost->"},
                  {"kAMAGED", "kOST", "kUNK.JPG", "lost(1)/dir00100/kOO", "lost(1)/dir00100/kOO(1)/FILE.TXT"}},
        COLLISION{"a link planted as damaged",
                  {"--verify"},
                  {"damaged->"},
                  {"damaged(1)/kUNK.JPG", "kAMAGED", "kOST"}},
        COLLISION{"a link planted below lost",
                  {"--deep"},
                  {"lost/dir00100->"},
                  {"kAMAGED", "kOST", "kUNK.JPG", "lost/dir00100(1)/kOO", "lost/dir00100(1)/kOO(1)/FILE.TXT"}}));

namespace {

// The engine's own save of one file of a small volume into out/.
class OutputSave : public ::testing::Test {
protected:
    QTemporaryDir dir;
    RecordingCore core;
    FILEPARM file;
    QString out;

    void SetUp() override
    {
        FatBuilder fat(fat32layout(4u << 20));
        fat.addfile(0, 0, shortname("A.BIN"), patterndata(700, 1), 100);
        ASSERT_TRUE(fat.save(dir.filePath("one.img")));
        core.openimage(dir.filePath("one.img"));
        out = dir.filePath("out") + '/';
        ASSERT_TRUE(QDir().mkpath(out));
        core.recoverdir = out;
        file.dialog = &core;
        file.size = 700;
        file.dataruns = {DATARUN{98, 2, 0}};
    }
};

}  // namespace

// A save never goes through a link below the output directory, even one
// planted after the folder was chosen.
TEST_F(OutputSave, IntoAFolderThatIsALinkIsRefused)
{
    const QString victim = dir.filePath("victim");
    ASSERT_TRUE(QDir().mkpath(victim));
    ASSERT_TRUE(QFile::link(victim, out + "sub"));
    QString written;
    EXPECT_EQ(core.savefile(file, out + "sub/", "A.BIN", &written), 1);
    EXPECT_TRUE(written.isEmpty());
    EXPECT_TRUE(QDir(victim).isEmpty());
    EXPECT_EQ(core.stats.createfailed, 1u);
    EXPECT_TRUE(core.warnings.join(' ').contains(out + "sub is a symbolic link")) << core.warnings.join('|');
}

// The "(n)" search goes on from where it stopped for the same name in the
// same folder, and still passes over names that appeared on disk meanwhile.
TEST_F(OutputSave, EqualNamesCountOnAndStillLookAtTheDisk)
{
    QStringList written;
    for (int i = 0; i < 6; ++i) {
        if (i == 3) {
            ASSERT_TRUE(writefile(out + "F(3)", "appeared meanwhile"));
            ASSERT_TRUE(writefile(out + "F(4)", "appeared meanwhile"));
        }
        QString path;
        ASSERT_EQ(core.savefile(file, out, "F", &path), 0);
        written.append(QFileInfo(path).fileName());
    }
    EXPECT_EQ(written, QStringList({"F", "F(1)", "F(2)", "F(5)", "F(6)", "F(7)"}));
    EXPECT_EQ(contents(out + "F(3)"), "appeared meanwhile");
}

// Names stay free of control characters wherever they are written or
// printed: a lost folder's long name with a line feed, a tab and a screen
// clear, and a deleted file's long name with a title escape. The JSON
// keeps the true long name.
TEST(OutputControls, NamesCarryNoControlCharacters)
{
    QTemporaryDir dir;
    FatBuilder fat(fat32layout());
    const QString filename = QString::fromUtf8("photo\x1b]0;owned\x07\u009b.jpg");
    putnamed(fat, 0, 0, filename, entry(erased("PHOTO.JPG"), 0x20, 2000, 100));
    fat.writecluster(2000, patterndata(100, 1));
    const QString foldername = QString::fromUtf8("x\nfake\tline\x1b[2J\x7f");
    fat.putentry(300, 0, entry(shortname("."), 0x10, 300));
    fat.putentry(300, 1, entry(shortname(".."), 0x10, 0));
    putnamed(fat, 300, 2, foldername, entry(shortname("EVIL"), 0x10, 310));
    fat.putentry(310, 0, entry(shortname("."), 0x10, 310));
    fat.putentry(310, 1, entry(shortname(".."), 0x10, 300));
    fat.putentry(310, 2, entry(shortname("FILE.TXT"), 0x20, 320, 100));
    fat.writecluster(320, patterndata(100, 2));
    for (const std::uint32_t c : {300u, 310u})
        fat.setfat(c, 0);
    const QString image = dir.filePath("controls.img");
    ASSERT_TRUE(fat.save(image));
    auto clean = [](const QByteArray& bytes) {
        const QString text = QString::fromUtf8(bytes);
        return std::none_of(text.cbegin(), text.cend(), [](QChar ch) {
            const char16_t u = ch.unicode();
            return u < 0x20 || (u >= 0x7F && u < 0xA0);
        });
    };

    const CommandOutcome list = kovrecover({"--deep", "--list", "--original-names", image});
    ASSERT_EQ(list.status, 0) << list.err.toStdString();
    const QList<QByteArray> lines = list.out.trimmed().split('\n');
    ASSERT_EQ(lines.size(), 2) << list.out.toStdString();
    for (const QByteArray& line : lines) {
        const QList<QByteArray> columns = line.split('\t');
        ASSERT_EQ(columns.size(), 5) << line.toStdString();
        EXPECT_TRUE(clean(columns[0])) << line.toStdString();
    }
    EXPECT_TRUE(clean(QByteArray(list.err).replace('\n', ' '))) << list.err.toStdString();

    const CommandOutcome json = kovrecover({"--list", "--json", "--original-names", image});
    ASSERT_EQ(json.status, 0);
    const QJsonObject record = QJsonDocument::fromJson(json.out.trimmed()).object();
    EXPECT_EQ(record.value("longname").toString(), filename);
    EXPECT_TRUE(clean(record.value("name").toString().toUtf8()));

    const QString out = dir.filePath("out");
    ASSERT_EQ(kovrecover({"--deep", "--original-names", image, out}).status, 0);
    const QStringList paths = tree(out).keys();
    EXPECT_EQ(paths.size(), 2);
    for (const QString& path : paths)
        EXPECT_TRUE(clean(path.toUtf8())) << path;
}

namespace {

struct DEPTH {
    int levels;
    int namelength;  // of each folder's long name; 0: short names only
};

void PrintTo(const DEPTH& d, std::ostream* os) { *os << d.levels << " levels, names of " << d.namelength; }

class OutputDepth : public ::testing::TestWithParam<DEPTH> {};

}  // namespace

// A lost tree deeper than 32 levels, or longer than a path can be, keeps
// its top: every file comes back once, in the folder of its own path cut
// to the levels kept (all of them when the path fits), never in a fake
// tree that starts halfway down, and no path is longer than the system
// takes.
TEST_P(OutputDepth, EveryFileKeepsTheTopOfItsPath)
{
    const DEPTH d = GetParam();
    QTemporaryDir dir;
    FatLayout layout = fat16layout(24u << 20);
    layout.sectorspercluster = 2;
    FatBuilder fat(layout);
    // Folder k (1 ... levels) at cluster 100 + 2k, its file at 101 + 2k.
    QStringList names{"dir00102"};
    for (int k = 1; k <= d.levels; ++k) {
        const std::uint32_t here = 100 + 2 * std::uint32_t(k);
        fat.putentry(here, 0, entry(shortname("."), 0x10, here));
        fat.putentry(here, 1, entry(shortname(".."), 0x10, k == 1 ? 0 : here - 2));
        fat.putentry(here, 2, entry(shortname(QStringLiteral("F%1.BIN").arg(k).toLatin1()), 0x20, here + 1, 100));
        fat.writecluster(here + 1, patterndata(100, std::uint32_t(k)));
        if (k < d.levels) {
            const QByteArray name83 = shortname(QStringLiteral("L%1").arg(k + 1).toLatin1());
            const QString longname = d.namelength ? QString(d.namelength, QChar('a' + k % 26)) : QString();
            if (d.namelength)
                putnamed(fat, here, 3, longname, entry(name83, 0x10, here + 2));
            else
                fat.putentry(here, 3, entry(name83, 0x10, here + 2));
            names.append(d.namelength ? longname : QString::fromLatin1(name83).trimmed());
        }
        fat.setfat(here, 0);
    }
    const QString image = dir.filePath("deep.img");
    ASSERT_TRUE(fat.save(image));
    const QString out = dir.filePath("out");
    const CommandOutcome run = kovrecover({"--deep", image, out});
    EXPECT_EQ(run.status, 0) << run.err.toStdString();

    const auto files = tree(out);
    EXPECT_EQ(files.size(), d.levels);
    for (int k = 1; k <= d.levels; ++k) {
        const QString name = QStringLiteral("F%1.BIN").arg(k);
        QStringList found;
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            if (it.key().section('/', -1) == name && it.value() == patterndata(100, std::uint32_t(k)))
                found.append(it.key());
        ASSERT_EQ(found.size(), 1) << name;
        const QStringList folders = found[0].split('/').mid(1, found[0].count('/') - 1);
        ASSERT_TRUE(found[0].startsWith("lost/")) << found[0];
        ASSERT_FALSE(folders.isEmpty()) << found[0];
        EXPECT_EQ(folders, names.mid(0, folders.size())) << found[0];
        const QString full = out + "/lost/" + names.mid(0, k).join('/') + '/';
        const bool fits = QFile::encodeName(full).size() + NAME_MAX < PATH_MAX;
        if (fits)
            EXPECT_EQ(folders.size(), std::min(k, 32)) << found[0];
        else
            EXPECT_LT(folders.size(), k) << found[0];
        EXPECT_LT(QFile::encodeName(out + '/' + found[0]).size(), PATH_MAX);
    }
}

INSTANTIATE_TEST_SUITE_P(Trees, OutputDepth, ::testing::Values(DEPTH{40, 0}, DEPTH{20, 250}));
