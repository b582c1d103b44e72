// kov-recover --verify, --original-names and --list --json over volumes
// made the way the failures happen: holes refilled by later files, a camera
// card whose photos lost their high start words, documents with long names.
#include "support/kovrecoverrun.h"
#include "support/formatfiles.h"
#include "support/mtoolsimage.h"
#include "support/skip.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimeZone>
#include <gtest/gtest.h>

#include <map>

using namespace testsupport;

namespace {

using Outcome = CommandOutcome;

std::vector<QJsonObject> jsonlines(const QByteArray& out)
{
    std::vector<QJsonObject> lines;
    for (const QByteArray& line : out.split('\n')) {
        if (line.isEmpty())
            continue;
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
        EXPECT_EQ(error.error, QJsonParseError::NoError) << line.toStdString();
        lines.push_back(doc.object());
    }
    return lines;
}

// As Windows deletes on FAT32: zeroes bytes 20-21 (the start cluster's high
// word) of the deleted entries whose short name (11 bytes, first byte
// already 0xE5) is in names. Returns each one's start cluster before.
std::map<QByteArray, std::uint32_t> erasehighwords(const QString& image, const QList<QByteArray>& names)
{
    std::map<QByteArray, std::uint32_t> starts;
    QFile f(image);
    if (!f.open(QIODevice::ReadWrite))
        return starts;
    QByteArray bytes = f.readAll();
    for (qsizetype at = 0; at + 32 <= bytes.size(); at += 32) {
        const QByteArray name = bytes.mid(at, 11);
        if (!names.contains(name))
            continue;
        const auto* e = reinterpret_cast<const unsigned char*>(bytes.constData() + at);
        starts[name] = std::uint32_t(e[20] | e[21] << 8) << 16 | std::uint32_t(e[26] | e[27] << 8);
        bytes[at + 20] = 0;
        bytes[at + 21] = 0;
    }
    f.seek(0);
    f.write(bytes);
    return starts;
}

// Many small files of every format with long names, every other one
// deleted, then large files written into the holes and some of those
// deleted too: what comes back of the small ones is partly other files'
// bytes. Damaged outputs must all be wrong, and wrong ones must be caught.
class HolesVolume : public ::testing::TestWithParam<int> {};

TEST_P(HolesVolume, DamagedHoldsOnlyWrongBytes)
{
    const int bits = GetParam();
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("holes.img"));
    ASSERT_TRUE(makefat(image, bits, bits == 16 ? 32u << 20 : 40u << 20, bits == 16 ? 4 : 1)) << lasterror();
    std::map<QString, QByteArray> original;  // deleted files by long name
    const QStringList kinds = formatkinds();
    for (int i = 0; i < 3 * int(kinds.size()); ++i) {
        const QString kind = kinds[i % kinds.size()];
        const QByteArray data = formatfile(kind, dir.path(), i);
        if (data.isNull())
            KOV_SKIP() << "cannot make a " << kind.toStdString() << " file: " << lasterror();
        const QString name = QStringLiteral("Small file %1.%2").arg(i, 2, 10, QLatin1Char('0')).arg(kind);
        const QString local = dir.filePath(QStringLiteral("local"));
        ASSERT_TRUE(writefile(local, data));
        ASSERT_TRUE(mcopy(image, local, name)) << lasterror();
        if (i % 2 == 1)
            original[name] = data;
    }
    for (const auto& [name, data] : original)
        ASSERT_TRUE(mdel(image, name)) << lasterror();
    ASSERT_TRUE(bits == 16 || resetfsinfohint(image)) << lasterror();
    for (int i = 0; i < 4; ++i) {
        const QString name = QStringLiteral("Large file %1.bmp").arg(i);
        const QByteArray data = formatfile(QStringLiteral("bmp"), dir.path(), 100 + i);
        const QString local = dir.filePath(QStringLiteral("local"));
        ASSERT_TRUE(writefile(local, data + data));  // two pictures' worth: it spans several holes
        ASSERT_TRUE(mcopy(image, local, name)) << lasterror();
    }
    for (int i : {1, 3})
        ASSERT_TRUE(mdel(image, QStringLiteral("Large file %1.bmp").arg(i))) << lasterror();

    const QString out = dir.filePath(QStringLiteral("out"));
    const Outcome run = kovrecover({QStringLiteral("--verify"), QStringLiteral("--original-names"), image, out});
    ASSERT_EQ(run.status, 0) << run.err.toStdString();

    int wrong = 0;
    int caught = 0;
    int damagedfiles = 0;
    for (const auto& [path, data] : filetree(out)) {
        const bool indamaged = path.startsWith(QStringLiteral("damaged/"));
        const QString name = indamaged ? path.mid(8) : path;
        if (!original.count(name))
            continue;  // a large deleted file: its original was two pictures
        const bool right = data == original[name];
        EXPECT_TRUE(!indamaged || !right) << "right bytes in damaged/: " << path.toStdString();
        wrong += right ? 0 : 1;
        caught += indamaged && !right ? 1 : 0;
        damagedfiles += indamaged ? 1 : 0;
    }
    EXPECT_GT(wrong, 0) << "the volume was meant to hold overwritten files";
    EXPECT_GT(caught, 0);
    const QRegularExpression summary(QStringLiteral("(\\d+) files saved.*; (\\d+) verified, (\\d+) unchecked, (\\d+) damaged"));
    const QRegularExpressionMatch m = summary.match(QString::fromUtf8(run.err));
    ASSERT_TRUE(m.hasMatch()) << run.err.toStdString();
    EXPECT_EQ(m.captured(1).toInt(), m.captured(2).toInt() + m.captured(3).toInt() + m.captured(4).toInt());
    EXPECT_EQ(m.captured(1).toInt(), int(filetree(out).size()));
    EXPECT_GE(m.captured(4).toInt(), damagedfiles);
}

INSTANTIATE_TEST_SUITE_P(Fat, HolesVolume, ::testing::Values(16, 32),
                         [](const auto& info) { return "FAT" + std::to_string(info.param); });

// A camera card: photos spread over several high start words, deleted and
// their high words erased as Windows does, dated after the creation-minute
// table. The estimate is the directory's high word, wrong for most photos;
// their JPEG structure must pick each one's own start.
TEST(CameraCard, EveryIntactPhotoComesBackVerified)
{
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("card.img"));
    // 512-byte clusters: about 250,000 of them, high words 0 to 3.
    ASSERT_TRUE(makefat(image, 32, 128u << 20, 1, {QStringLiteral("-n"), QStringLiteral("CANON")})) << lasterror();
    ASSERT_TRUE(mmd(image, QStringLiteral("DCIM"))) << lasterror();
    ASSERT_TRUE(mmd(image, QStringLiteral("KEEP"))) << lasterror();
    const QDateTime shot(QDate(2023, 7, 14), QTime(10, 30), QTimeZone::utc());
    const QString local = dir.filePath(QStringLiteral("local"));
    // Videos and photos by turns, all deleted at the end; between some of
    // them files that stay (elsewhere, so that no live entry of DCIM
    // hints at the photos' high words). An estimate then points into a
    // deleted video (junk: damaged) or into a kept file (dropped).
    QStringList videos{QStringLiteral("DCIM/MVI_0000.MOV")};
    ASSERT_TRUE(writefile(local, patterndata(16u << 20, 77)));
    ASSERT_TRUE(mcopy(image, local, videos[0])) << lasterror();
    std::map<QByteArray, QByteArray> photos;  // by deleted short name
    QList<QByteArray> names;
    for (int i = 1; i <= 8; ++i) {
        const QByteArray data = formatfile(QStringLiteral("jpg"), dir.path(), i);
        if (data.isNull())
            KOV_SKIP() << "needs ImageMagick: " << lasterror();
        ASSERT_TRUE(writefile(local, data));
        ASSERT_TRUE(setmtime(local, shot.addSecs(60 * i)));
        const QString name = QStringLiteral("IMG_%1.JPG").arg(i, 4, 10, QLatin1Char('0'));
        ASSERT_TRUE(mcopy(image, local, QStringLiteral("DCIM/") + name, true)) << lasterror();
        const QByteArray shortname = "\xE5" + name.mid(1, 7).toLatin1() + "JPG";
        photos[shortname] = data;
        names += shortname;
        const QString filler = i % 2 ? QStringLiteral("KEEP/FILL%1.DAT").arg(i)
                                     : QStringLiteral("DCIM/MVI_%1.MOV").arg(i, 4, 10, QLatin1Char('0'));
        if (i % 2 == 0)
            videos += filler;
        ASSERT_TRUE(writefile(local, patterndata(9u << 20, std::uint32_t(i))));
        ASSERT_TRUE(mcopy(image, local, filler)) << lasterror();
    }
    for (const QString& video : videos)
        ASSERT_TRUE(mdel(image, video)) << lasterror();
    for (int i = 1; i <= 8; ++i)
        ASSERT_TRUE(mdel(image, QStringLiteral("DCIM/IMG_%1.JPG").arg(i, 4, 10, QLatin1Char('0')))) << lasterror();
    const std::map<QByteArray, std::uint32_t> starts = erasehighwords(image, names);
    ASSERT_EQ(starts.size(), photos.size());
    int wronghigh = 0;
    for (const auto& [name, start] : starts)
        wronghigh += (start >> 16) != 0 ? 1 : 0;
    ASSERT_GE(wronghigh, 4) << "most photos must lie above the directory's high word";

    const Outcome list = kovrecover({QStringLiteral("--list"), QStringLiteral("--json"), QStringLiteral("--verify"), image});
    ASSERT_EQ(list.status, 0) << list.err.toStdString();
    int listed = 0;
    std::map<QByteArray, qint64> replaced;  // estimate listed as damaged -> its start
    std::map<QByteArray, qint64> estimates;  // the estimate a start chosen by content replaced
    for (const QJsonObject& o : jsonlines(list.out)) {
        const QByteArray shortname = "\xE5" + o[QStringLiteral("name")].toString().mid(1).remove(QLatin1Char('.')).toLatin1();
        if (!starts.count(shortname))
            continue;
        // An estimate that another start replaced stays saved, in damaged/.
        if (o[QStringLiteral("verdict")].toString() == QStringLiteral("damaged") &&
            !o[QStringLiteral("startbycontent")].toBool() && !replaced.count(shortname)) {
            replaced[shortname] = o[QStringLiteral("start")].toInteger();
            continue;
        }
        if (o[QStringLiteral("startbycontent")].toBool())
            estimates[shortname] = o[QStringLiteral("estimatedstart")].toInteger();
        ++listed;
        EXPECT_EQ(o[QStringLiteral("verdict")].toString(), QStringLiteral("verified")) << shortname.toStdString();
        EXPECT_EQ(o[QStringLiteral("start")].toInteger(), qint64(starts.at(shortname))) << shortname.toStdString();
        EXPECT_TRUE(o[QStringLiteral("highestimated")].toBool());
        EXPECT_EQ(o[QStringLiteral("startbycontent")].toBool(), (starts.at(shortname) >> 16) != 0);
    }
    EXPECT_EQ(listed, int(photos.size()));
    for (const auto& [shortname, start] : replaced)
        EXPECT_EQ(estimates.count(shortname) ? estimates.at(shortname) : -1, start) << shortname.toStdString();

    const QString out = dir.filePath(QStringLiteral("out"));
    const Outcome run = kovrecover({QStringLiteral("--verify"), image, out});
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    for (const auto& [name, data] : photos) {
        const QString recovered = QStringLiteral("k") + QString::fromLatin1(name.mid(1, 7)) + QStringLiteral(".JPG");
        EXPECT_EQ(contents(QDir(out).filePath(recovered)), data) << recovered.toStdString();
    }
    EXPECT_TRUE(run.err.contains("8 verified")) << run.err.toStdString();
}

// Documents with long names, non-ASCII ones among them, on both FAT kinds:
// --original-names brings the names back, --list --json reports them.
class LongNames : public ::testing::TestWithParam<int> {};

TEST_P(LongNames, DeletedDocumentsComeBackUnderTheirNames)
{
    const int bits = GetParam();
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("docs.img"));
    ASSERT_TRUE(makefat(image, bits, bits == 16 ? 16u << 20 : 40u << 20, 1)) << lasterror();
    ASSERT_TRUE(mmd(image, QStringLiteral("Documents"))) << lasterror();
    const QStringList names{QStringLiteral("Quarterly report 2019.docx"), QStringLiteral("Résumé été 2021.txt"),
                            QStringLiteral("日本語のメモ.txt"), QStringLiteral("Notes ☃ winter.txt"),
                            QStringLiteral("a.b.c many dots.pdf"),
                            QStringLiteral("A name long enough to need more than four long name slots.txt")};
    std::map<QString, QByteArray> original;
    const QString local = dir.filePath(QStringLiteral("local"));
    for (int i = 0; i < names.size(); ++i) {
        const QString suffix = QFileInfo(names[i]).suffix();
        const QByteArray data = formatfile(suffix == QLatin1String("docx") ? QStringLiteral("zip") : suffix, dir.path(), i);
        if (data.isNull())
            KOV_SKIP() << lasterror();
        ASSERT_TRUE(writefile(local, data));
        ASSERT_TRUE(mcopy(image, local, QStringLiteral("Documents/") + names[i])) << lasterror();
        original[names[i]] = data;
    }
    ASSERT_TRUE(writefile(local, "short"));
    ASSERT_TRUE(mcopy(image, local, QStringLiteral("Documents/PLAIN.TXT"))) << lasterror();
    // 259 bytes in UTF-8: more than a Linux file name takes (and about
    // as long as mdel still finds).
    const QString toolong = QString(85, QChar(0x65E5)) + QStringLiteral(".txt");
    ASSERT_TRUE(writefile(local, "a name too long for the output"));
    ASSERT_TRUE(mcopy(image, local, QStringLiteral("Documents/") + toolong)) << lasterror();
    for (const QString& name : names)
        ASSERT_TRUE(mdel(image, QStringLiteral("Documents/") + name)) << lasterror();
    ASSERT_TRUE(mdel(image, QStringLiteral("Documents/PLAIN.TXT"))) << lasterror();
    ASSERT_TRUE(mdel(image, QStringLiteral("Documents/") + toolong)) << lasterror();

    const Outcome list = kovrecover({QStringLiteral("--list"), QStringLiteral("--json"), QStringLiteral("--original-names"), image});
    ASSERT_EQ(list.status, 0) << list.err.toStdString();
    std::map<QString, QJsonObject> byname;
    QString standin;  // the name the too long one is saved under
    for (const QJsonObject& o : jsonlines(list.out)) {
        byname[o[QStringLiteral("name")].toString()] = o;
        if (o[QStringLiteral("longname")].toString() == toolong)
            standin = o[QStringLiteral("name")].toString();
    }
    EXPECT_TRUE(standin.startsWith(QLatin1Char('k')) && standin.endsWith(QLatin1String(".TXT")))
        << standin.toStdString();
    for (const QString& name : names) {
        ASSERT_TRUE(byname.count(name)) << name.toStdString();
        const QJsonObject& o = byname[name];
        EXPECT_EQ(o[QStringLiteral("longname")].toString(), name);
        EXPECT_EQ(o[QStringLiteral("size")].toInteger(), original[name].size());
        EXPECT_TRUE(QRegularExpression(QStringLiteral("^2020-09-13T\\d\\d:\\d\\d:\\d\\d$"))
                        .match(o[QStringLiteral("modified")].toString())
                        .hasMatch())
            << o[QStringLiteral("modified")].toString().toStdString();
        EXPECT_FALSE(o.contains(QStringLiteral("verdict")));
        qint64 clusters = 0;
        for (const QJsonValue& run : o[QStringLiteral("runs")].toArray())
            clusters += run[QStringLiteral("clusters")].toInteger();
        EXPECT_EQ(clusters * 512, (original[name].size() + 511) / 512 * 512);
        EXPECT_EQ(o[QStringLiteral("runs")].toArray()[0][QStringLiteral("cluster")].toInteger(),
                  o[QStringLiteral("start")].toInteger());
    }
    // The first character the checksum matched is the short name's own.
    EXPECT_TRUE(byname[names[0]][QStringLiteral("shortname")].toString().startsWith(QLatin1Char('Q')));
    EXPECT_TRUE(byname[names[1]][QStringLiteral("shortname")].toString().startsWith(QLatin1Char('R')));
    // Without long-name slots the name stays the recovered short name.
    ASSERT_TRUE(byname.count(QStringLiteral("kLAIN.TXT")));
    EXPECT_FALSE(byname[QStringLiteral("kLAIN.TXT")].contains(QStringLiteral("longname")));

    const QString out = dir.filePath(QStringLiteral("out"));
    const Outcome run = kovrecover({QStringLiteral("--original-names"), QStringLiteral("--verify"), image, out});
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    for (const QString& name : names)
        EXPECT_EQ(contents(QDir(out).filePath(name)), original[name]) << name.toStdString();
    EXPECT_EQ(contents(QDir(out).filePath(standin)), QByteArray("a name too long for the output"));
    // A second run into the same directory: the names are taken, "(1)" follows.
    ASSERT_EQ(kovrecover({QStringLiteral("--original-names"), image, out}).status, 0);
    EXPECT_EQ(contents(QDir(out).filePath(names[1] + QStringLiteral("(1)"))), original[names[1]]);
}

INSTANTIATE_TEST_SUITE_P(Fat, LongNames, ::testing::Values(16, 32),
                         [](const auto& info) { return "FAT" + std::to_string(info.param); });

TEST(RecoverOptions, JsonOnlyWithList)
{
    EXPECT_EQ(kovrecover({QStringLiteral("--json"), QStringLiteral("a.img"), QStringLiteral("out")}).status, 2);
}

}  // namespace
