// kov-recover --carve on cards made with mkfs.fat and mtools and real files
// of every carved format: a card quick-formatted and shot on again, files
// that were saved already, and a volume of hostile starts.
#include "support/badblockdevice.h"
#include "support/cardimage.h"
#include "support/exfatimage.h"
#include "support/formatfiles.h"
#include "support/kovrecoverrun.h"
#include "support/mtoolsimage.h"
#include "support/rawfile.h"
#include "support/skip.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <map>
#include <set>

using namespace testsupport;

namespace {

// Where the data area begins and how large a cluster is, from the boot sector.
struct LAYOUT {
    qint64 data = 0;
    qint64 cluster = 0;
};

LAYOUT layoutof(const QByteArray& image)
{
    const auto* b = reinterpret_cast<const unsigned char*>(image.constData());
    const auto u16 = [b](int at) { return qint64(b[at] | b[at + 1] << 8); };
    const auto u32 = [&](int at) { return u16(at) | u16(at + 2) << 16; };
    const qint64 sector = u16(11);
    const qint64 fatsize = u16(22) != 0 ? u16(22) : u32(36);
    const qint64 rootsectors = (u16(17) * 32 + sector - 1) / sector;
    return {(u16(14) + b[16] * fatsize + rootsectors) * sector, sector * b[13]};
}

// The quick format: mkfs.fat over the image as it is (no -C), which
// rewrites the boot sector, the FATs and the root directory only.
bool quickformat(const QString& image, int bits, int spc)
{
    return runtool(QStringLiteral("mkfs.fat"), {QStringLiteral("-F"), QString::number(bits), QStringLiteral("-s"),
                                                QString::number(spc), QStringLiteral("-i"), QStringLiteral("4321DCBA"),
                                                image});
}

// Writes bytes from the card's third cluster on and carves the card into
// out with a 4 MiB window, so that a file past it must be streamed.
CommandOutcome carvewithsmallwindow(const QString& image, const QByteArray& bytes, const QString& out)
{
    QByteArray card = contents(image);
    const LAYOUT layout = layoutof(card);
    card.replace(layout.data + 3 * layout.cluster, bytes.size(), bytes);
    if (!writefile(image, card))
        return CommandOutcome{-1, {}, QByteArray("cannot write the card")};
    qputenv("KOV_CARVE_WINDOW", QByteArray::number(4 << 20));
    const CommandOutcome run = kovrecover({QStringLiteral("--carve"), image, out});
    qunsetenv("KOV_CARVE_WINDOW");
    return run;
}

std::uint64_t carvecount(const QByteArray& err, const char* what)
{
    const QRegularExpression form(QStringLiteral("carving: .* (\\d+) %1").arg(QLatin1String(what)));
    const QRegularExpressionMatch m = form.match(QString::fromUtf8(err));
    return m.hasMatch() ? m.captured(1).toULongLong() : ~std::uint64_t(0);
}

struct CARDCASE {
    int bits;
    int spc;
    std::uint64_t size;
};

void PrintTo(const CARDCASE& c, std::ostream* os) { *os << "FAT" << c.bits << "/" << c.spc * 512; }

class QuickFormattedCard : public ::testing::TestWithParam<CARDCASE> {};

// Photos and documents of every carved format in folders, the card quick-
// formatted and two new photos written from the first cluster on, over
// the old folders and the first old files.
TEST_P(QuickFormattedCard, EveryIntactFileComesBackByteForByteAndNothingElse)
{
    const CARDCASE c = GetParam();
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("card.img"));
    ASSERT_TRUE(makefat(image, c.bits, c.size, c.spc)) << lasterror();
    ASSERT_TRUE(mmd(image, QStringLiteral("DCIM"))) << lasterror();
    ASSERT_TRUE(mmd(image, QStringLiteral("DCIM/100CANON"))) << lasterror();
    ASSERT_TRUE(mmd(image, QStringLiteral("DOCS"))) << lasterror();
    const QStringList kinds{QStringLiteral("exifjpg"), QStringLiteral("jpg"), QStringLiteral("pjpg"),
                            QStringLiteral("png"),     QStringLiteral("gif"), QStringLiteral("bmp"),
                            QStringLiteral("zip"),     QStringLiteral("zip64"), QStringLiteral("gz"),
                            QStringLiteral("pdf"),     QStringLiteral("wav"), QStringLiteral("mp3id3"),
                            QStringLiteral("avi"),     QStringLiteral("mov"), QStringLiteral("mp4"),
                            QStringLiteral("doc")};
    const QString local = dir.filePath(QStringLiteral("local"));
    std::map<QString, QByteArray> old;  // by path on the card
    std::map<QByteArray, int> exifseed;
    for (int seed = 1; seed <= 2; ++seed)
        for (const QString& kind : kinds) {
            const QByteArray data = formatfile(kind, dir.path(), seed + 10 * int(c.bits));
            if (data.isNull())
                KOV_SKIP() << "cannot make a " << kind.toStdString() << " file: " << lasterror();
            if (kind == QLatin1String("exifjpg"))
                exifseed[data] = seed + 10 * int(c.bits);
            const bool photo = kind.endsWith(QLatin1String("jpg"));
            const QString path = (photo ? QStringLiteral("DCIM/100CANON/IMG%1%2.JPG") : QStringLiteral("DOCS/F%1%2.BIN"))
                                     .arg(seed)
                                     .arg(kinds.indexOf(kind), 2, 10, QLatin1Char('0'));
            ASSERT_TRUE(writefile(local, data));
            ASSERT_TRUE(mcopy(image, local, path)) << lasterror();
            old[path] = data;
        }
    ASSERT_TRUE(quickformat(image, c.bits, c.spc)) << lasterror();
    ASSERT_TRUE(mmd(image, QStringLiteral("DCIM"))) << lasterror();
    ASSERT_TRUE(mmd(image, QStringLiteral("DCIM/100CANON"))) << lasterror();
    std::set<QByteArray> live;
    for (int seed = 7; seed <= 8; ++seed) {
        const QByteArray data = formatfile(QStringLiteral("jpg"), dir.path(), seed);
        ASSERT_FALSE(data.isNull()) << lasterror();
        ASSERT_TRUE(writefile(local, data));
        ASSERT_TRUE(mcopy(image, local, QStringLiteral("DCIM/100CANON/NEW%1.JPG").arg(seed))) << lasterror();
        live.insert(data);
    }

    // An old file is intact when its bytes still lie contiguously from the
    // first byte of a cluster: it must come back, as carving names it.
    const QByteArray card = contents(image);
    const LAYOUT layout = layoutof(card);
    std::map<QString, qint64> intact;  // its path in the output -> its first cluster
    for (const auto& [path, data] : old) {
        for (qint64 at = card.indexOf(data, layout.data); at >= 0; at = card.indexOf(data, at + 1))
            if ((at - layout.data) % layout.cluster == 0) {
                const qint64 start = (at - layout.data) / layout.cluster + 2;
                intact.emplace(path, start);
                break;
            }
    }
    ASSERT_GE(intact.size(), old.size() - 4) << "the new photos overwrote more than the first old files";
    ASSERT_LT(intact.size(), old.size()) << "the new photos overwrote no old file";

    const QString out = dir.filePath(QStringLiteral("out"));
    const CommandOutcome run = kovrecover({QStringLiteral("--deep"), QStringLiteral("--carve"), image, out});
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    const std::map<QString, QByteArray> saved = filetree(out);
    std::set<QByteArray> oldbytes;
    for (const auto& [path, data] : old)
        oldbytes.insert(data);
    for (const auto& [path, data] : saved) {
        if (!path.startsWith(QLatin1String("lost/carved/")))
            continue;
        EXPECT_TRUE(oldbytes.count(data)) << path.toStdString() << ": carved bytes that no old file had";
        EXPECT_FALSE(live.count(data)) << path.toStdString() << ": a live file carved again";
    }
    // Carving finds what the deep scan cannot: the old folders are gone.
    int carved = 0;
    for (const auto& [path, start] : intact) {
        const QByteArray& data = old.at(path);
        bool back = false;
        for (const auto& [outpath, bytes] : saved)
            back = back || bytes == data;
        EXPECT_TRUE(back) << path.toStdString() << " (cluster " << start << ") not back byte for byte";
        const QString type = QFileInfo(path).suffix() == QLatin1String("JPG") ? QStringLiteral("jpg") : QString();
        for (const auto& [outpath, bytes] : saved)
            if (bytes == data && outpath.startsWith(QLatin1String("lost/carved/"))) {
                ++carved;
                const QFileInfo name(outpath);
                EXPECT_EQ(name.completeBaseName(), QStringLiteral("f%1").arg(start, 7, 10, QLatin1Char('0')));
                EXPECT_EQ(outpath.section(QLatin1Char('/'), 2, 2), name.suffix()) << outpath.toStdString();
                if (!type.isEmpty()) {
                    EXPECT_EQ(name.suffix(), type);
                }
                if (exifseed.count(data)) {
                    EXPECT_EQ(QFileInfo(out + QLatin1Char('/') + outpath).lastModified().toUTC(),
                              exiftime(exifseed.at(data)))
                        << outpath.toStdString();
                }
            }
    }
    EXPECT_GE(carved, int(intact.size()) / 2);
    EXPECT_EQ(carvecount(run.err, "files carved"), std::uint64_t(carved)) << run.err.toStdString();

    // The listing names the same files with their start, length, type and verdict.
    const CommandOutcome list =
        kovrecover({QStringLiteral("--list"), QStringLiteral("--json"), QStringLiteral("--deep"), QStringLiteral("--carve"), image});
    ASSERT_EQ(list.status, 0) << list.err.toStdString();
    int listed = 0;
    for (const QByteArray& line : list.out.split('\n')) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        if (!o.contains(QStringLiteral("type")))
            continue;
        ++listed;
        const QString type = o[QStringLiteral("type")].toString();
        const QString path = o[QStringLiteral("dir")].toString() + o[QStringLiteral("name")].toString();
        EXPECT_EQ(o[QStringLiteral("dir")].toString(), QStringLiteral("lost/carved/%1/").arg(type));
        EXPECT_EQ(o[QStringLiteral("name")].toString(),
                  QStringLiteral("f%1.%2").arg(o[QStringLiteral("start")].toInteger(), 7, 10, QLatin1Char('0')).arg(type));
        // Only checksums and a JPEG's decode see a foreign cluster inside a file.
        const bool proven = type == QLatin1String("jpg") || type == QLatin1String("png") ||
                            type == QLatin1String("zip") || type == QLatin1String("gz");
        EXPECT_EQ(o[QStringLiteral("verdict")].toString().toStdString(), proven ? "verified" : "plausible")
            << type.toStdString();
        ASSERT_TRUE(saved.count(path)) << path.toStdString();
        EXPECT_EQ(o[QStringLiteral("size")].toInteger(), saved.at(path).size());
    }
    EXPECT_EQ(listed, carved);
}

INSTANTIATE_TEST_SUITE_P(Cards, QuickFormattedCard,
                         ::testing::Values(CARDCASE{32, 1, 64u << 20}, CARDCASE{16, 8, 64u << 20}));

}  // namespace

namespace {

// Bytes of another file (deleted, saved by the saving pass) left where no
// entry names them, and a deleted archive of photos padded to clusters:
// carving writes nothing the run saved already.
TEST(CarveNothingTwice, SavedBytesAndStartsInsideSavedFilesAreNotCarved)
{
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("card.img"));
    constexpr int spc = 4;  // 2 KiB clusters
    ASSERT_TRUE(makefat(image, 16, 32u << 20, spc)) << lasterror();
    const QByteArray photo = formatfile(QStringLiteral("jpg"), dir.path(), 3);
    if (photo.isNull())
        KOV_SKIP() << "needs ImageMagick: " << lasterror();
    // Photos each padded to whole clusters: a signature at a cluster start
    // inside the archive's data.
    QByteArray pack;
    for (int seed = 4; seed <= 6; ++seed) {
        QByteArray one = formatfile(QStringLiteral("jpg"), dir.path(), seed);
        ASSERT_FALSE(one.isNull()) << lasterror();
        one.append(QByteArray((2048 - one.size() % 2048) % 2048, '\0'));
        pack += one;
    }
    const QString local = dir.filePath(QStringLiteral("local"));
    ASSERT_TRUE(writefile(local, photo));
    ASSERT_TRUE(mcopy(image, local, QStringLiteral("AAAA.JPG"))) << lasterror();
    ASSERT_TRUE(writefile(local, pack));
    ASSERT_TRUE(mcopy(image, local, QStringLiteral("PACK.BIN"))) << lasterror();
    ASSERT_TRUE(writefile(local, photo));
    ASSERT_TRUE(mcopy(image, local, QStringLiteral("BBBB.JPG"))) << lasterror();
    for (const char* name : {"AAAA.JPG", "PACK.BIN", "BBBB.JPG"})
        ASSERT_TRUE(mdel(image, QString::fromLatin1(name))) << lasterror();
    // BBBB's entry, the directory's last, wiped: its bytes are named by nothing.
    {
        QFile f(image);
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        const QByteArray bytes = f.readAll();
        const qsizetype at = bytes.indexOf(QByteArray("\xE5" "BBB    JPG"));
        ASSERT_GT(at, 0);
        f.seek(at);
        f.write(QByteArray(32, '\0'));
    }

    const QString plain = dir.filePath(QStringLiteral("plain"));
    const QString carved = dir.filePath(QStringLiteral("carved"));
    const CommandOutcome without = kovrecover({QStringLiteral("--deep"), image, plain});
    const CommandOutcome with = kovrecover({QStringLiteral("--deep"), QStringLiteral("--carve"), image, carved});
    ASSERT_EQ(without.status, 0) << without.err.toStdString();
    ASSERT_EQ(with.status, 0) << with.err.toStdString();
    EXPECT_EQ(filetree(carved), filetree(plain));
    EXPECT_EQ(carvecount(with.err, "equal to a saved file"), 1u) << with.err.toStdString();
    EXPECT_EQ(carvecount(with.err, "file starts"), 1u) << with.err.toStdString();
}

// Starts that fail, one after the other: a JPEG without its EOI, size
// fields that point past the volume, ZIP records that point back at each
// other, a PDF with a million %%EOF; a real PNG after them; then a
// signature at the first byte of every cluster. The run ends, writes the
// PNG only, and every failed start is counted.
TEST(CarveHostile, FailedStartsEndAndWriteNothing)
{
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("card.img"));
    ASSERT_TRUE(makefat(image, 16, 64u << 20, 4)) << lasterror();  // 2 KiB clusters
    const QByteArray jpeg = formatfile(QStringLiteral("jpg"), dir.path(), 1);
    const QByteArray png = formatfile(QStringLiteral("png"), dir.path(), 2);
    if (jpeg.isNull() || png.isNull())
        KOV_SKIP() << "needs ImageMagick: " << lasterror();
    QByteArray card = contents(image);
    const LAYOUT layout = layoutof(card);
    qint64 at = layout.data + 2 * layout.cluster;  // past the root's first clusters
    const auto place = [&](const QByteArray& bytes) {
        card.replace(at, bytes.size(), bytes);
        at += (bytes.size() + layout.cluster - 1) / layout.cluster * layout.cluster;
    };
    const auto le32 = [](quint32 v) { return QByteArray(reinterpret_cast<const char*>(&v), 4); };
    const auto be32 = [](quint32 v) {
        const char b[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
        return QByteArray(b, 4);
    };
    place(jpeg.left(jpeg.size() - 2) + QByteArray(4096, '\0'));
    place("BM" + le32(0xFFFFFF00u) + le32(0) + le32(54) + le32(40) + QByteArray(64, '\1'));
    place("RIFF" + le32(0xFFFFFFF0u) + "WAVEfmt " + QByteArray(64, '\1'));
    place(be32(24) + "ftypisom" + QByteArray(12, '\0') + be32(1) + "mdat" + be32(0x100) + be32(0) + QByteArray(64, '\1'));
    {
        // A local header, then a central directory whose entries all name
        // the directory itself, and an end record that closes it.
        QByteArray zip = "PK\x03\x04" + QByteArray(26, '\0');
        const qsizetype cd = zip.size();
        QByteArray entry = "PK\x01\x02" + QByteArray(38, '\0') + le32(quint32(cd));
        for (int i = 0; i < 1000; ++i)
            zip += entry;
        const qsizetype cdsize = zip.size() - cd;
        zip += "PK\x05\x06" + QByteArray(4, '\0');
        zip += QByteArray("\xE8\x03\xE8\x03", 4) + le32(quint32(cdsize)) + le32(quint32(cd)) + QByteArray(2, '\0');
        place(zip);
    }
    place("%PDF-1.4\n" + QByteArray("%%EOF\n1 0 obj\n").repeated(1000000));
    const qint64 pngstart = (at - layout.data) / layout.cluster + 2;
    place(png);
    const char* signatures[] = {"\xFF\xD8\xFF\xE0", "\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", "GIF89a", "PK\x03\x04",
                                "\x1f\x8b\x08\x00", "%PDF-1.7", "RIFF\xF0\xFF\xFF\x7FWAVE", "\0\0\0\x20" "ftypmp42",
                                "ID3\x03\0\0\x7F\x7F\x7F\x7F", "\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1"};
    const int lengths[] = {4, 16, 6, 4, 4, 8, 12, 12, 10, 8};
    QRandomGenerator random{21};
    const qint64 hostile = (card.size() - at) / layout.cluster;
    for (qint64 k = 0; k < hostile; ++k) {
        QByteArray cluster(layout.cluster, Qt::Uninitialized);
        for (char& b : cluster)
            b = char(random.generate());
        const int s = int(k % 10);
        cluster.replace(0, lengths[s], QByteArray(signatures[s], lengths[s]));
        card.replace(at + k * layout.cluster, cluster.size(), cluster);
    }
    ASSERT_TRUE(writefile(image, card));

    const QString out = dir.filePath(QStringLiteral("out"));
    const CommandOutcome run = kovrecover({QStringLiteral("--carve"), image, out});
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    const std::map<QString, QByteArray> saved = filetree(out);
    ASSERT_EQ(saved.size(), 1u) << run.err.toStdString();
    EXPECT_EQ(saved.begin()->first, QStringLiteral("lost/carved/png/f%1.png").arg(pngstart, 7, 10, QLatin1Char('0')));
    EXPECT_EQ(saved.begin()->second, png);
    const std::uint64_t failed = carvecount(run.err, "failed their check");
    const std::uint64_t toolarge = carvecount(run.err, "too large");
    EXPECT_GE(failed + toolarge, 6u) << run.err.toStdString();
}

// Each photo carved whole under its first cluster's name, and nothing else.
void expectcarvedphotos(const QString& out, const std::map<QByteArray, qint64>& photos, const CommandOutcome& run)
{
    std::map<QString, QByteArray> saved = filetree(out);
    // The map of a run that met unreadable sectors is no carved file.
    saved.erase(QStringLiteral("unreadable.map"));
    EXPECT_EQ(saved.size(), photos.size()) << run.err.toStdString();
    for (const auto& [photo, start] : photos) {
        const QString path = QStringLiteral("lost/carved/jpg/f%1.jpg").arg(start, 7, 10, QLatin1Char('0'));
        EXPECT_TRUE(saved.count(path) && saved.at(path) == photo) << path.toStdString() << run.err.toStdString();
    }
}

// Starts that each name a structure the size of the volume and fail at
// its end, enough of them to spend the work failed starts are allowed at
// first, then real photos: the photos are still carved, and the starts
// not read on are counted.
TEST(CarveHostile, PhotosAfterCostlyFailedStartsAreStillCarved)
{
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("card.img"));
    ASSERT_TRUE(makefat(image, 16, 64u << 20, 4)) << lasterror();  // 2 KiB clusters
    QByteArray card = contents(image);
    const LAYOUT layout = layoutof(card);
    const auto le32 = [](quint32 v) { return QByteArray(reinterpret_cast<const char*>(&v), 4); };
    // A BMP header naming 30 MiB (under the largest window carving holds)
    // whose pixels would begin before its header ends.
    const QByteArray bmp = "BM" + le32(30u << 20) + le32(0) + le32(0) + le32(40) + le32(64) + le32(64) +
                           QByteArray("\x01\x00\x18\x00", 4);
    qint64 at = layout.data + 2 * layout.cluster;
    for (int k = 0; k < 40; ++k, at += layout.cluster)
        card.replace(at, bmp.size(), bmp);
    std::map<QByteArray, qint64> photos;  // -> first cluster
    for (int seed = 1; seed <= 3; ++seed) {
        const QByteArray photo = formatfile(QStringLiteral("jpg"), dir.path(), 60 + seed);
        if (photo.isNull())
            KOV_SKIP() << "needs ImageMagick: " << lasterror();
        photos[photo] = (at - layout.data) / layout.cluster + 2;
        card.replace(at, photo.size(), photo);
        at += (photo.size() + layout.cluster - 1) / layout.cluster * layout.cluster;
    }
    ASSERT_TRUE(writefile(image, card));

    const QString out = dir.filePath(QStringLiteral("out"));
    const CommandOutcome run = kovrecover({QStringLiteral("--carve"), image, out});
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    expectcarvedphotos(out, photos, run);
    EXPECT_EQ(carvecount(run.err, "failed their check") + carvecount(run.err, "not read on"), 40u)
        << run.err.toStdString();
}

// A card with a bad sector: the photos that share a read of 4 MiB with it
// are read cluster by cluster and carved, as is the one after it.
TEST(CarveBadSector, PhotosInTheFailedReadAreStillCarved)
{
    QString why;
    if (!BadBlockDevice::available(&why))
        KOV_SKIP() << why.toStdString();
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("card.img"));
    ASSERT_TRUE(makefat(image, 16, 64u << 20, 4)) << lasterror();  // 2 KiB clusters
    QByteArray card = contents(image);
    const LAYOUT layout = layoutof(card);
    std::map<QByteArray, qint64> photos;  // -> first cluster
    // Two photos at the start of the first read, one past it; the bad
    // sector lies 2 MiB or more from each, past any page the kernel widens
    // a failed read to.
    for (const qint64 at : {layout.data + 2 * layout.cluster, layout.data + 64 * layout.cluster, qint64(6) << 20}) {
        const QByteArray photo = formatfile(QStringLiteral("jpg"), dir.path(), 70 + int(photos.size()));
        if (photo.isNull())
            KOV_SKIP() << "needs ImageMagick: " << lasterror();
        const qint64 start = (at - layout.data + layout.cluster - 1) / layout.cluster;
        photos[photo] = start + 2;
        card.replace(layout.data + start * layout.cluster, photo.size(), photo);
    }
    ASSERT_TRUE(writefile(image, card));
    const std::uint64_t bad = (std::uint64_t(3) << 20) / 512 + 5;
    BadBlockDevice dev(image, {{bad, bad}});
    ASSERT_TRUE(dev.ok()) << dev.why().toStdString();

    const QString out = dir.filePath(QStringLiteral("out"));
    const CommandOutcome run = kovrecover({QStringLiteral("--carve"), dev.path(), out});
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    expectcarvedphotos(out, photos, run);
}

// An MP3 whose later clusters were taken by a photo, deleted in turn: its
// frames run on into the photo's first cluster. The photo is carved; the
// MP3, cut short, is not.
TEST(CarveCutShort, Mp3RunningIntoAPhotoLeavesThePhoto)
{
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("card.img"));
    ASSERT_TRUE(makefat(image, 16, 32u << 20, 4)) << lasterror();
    const QByteArray mp3 = formatfile(QStringLiteral("mp3id3"), dir.path(), 3);
    const QByteArray photo = formatfile(QStringLiteral("jpg"), dir.path(), 4);
    if (mp3.isNull() || photo.isNull())
        KOV_SKIP() << "needs ImageMagick and GStreamer: " << lasterror();
    QByteArray card = contents(image);
    const LAYOUT layout = layoutof(card);
    const qsizetype kept = mp3.size() * 3 / 5 / layout.cluster * layout.cluster;
    ASSERT_GE(kept, 2 * layout.cluster);
    const qint64 at = layout.data + 2 * layout.cluster;
    card.replace(at, kept, mp3.left(kept));
    card.replace(at + kept, photo.size(), photo);
    ASSERT_TRUE(writefile(image, card));

    const QString out = dir.filePath(QStringLiteral("out"));
    const CommandOutcome run = kovrecover({QStringLiteral("--carve"), image, out});
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    const std::map<QString, QByteArray> saved = filetree(out);
    ASSERT_EQ(saved.size(), 1u) << run.err.toStdString();
    EXPECT_EQ(saved.begin()->first,
              QStringLiteral("lost/carved/jpg/f%1.jpg").arg(4 + kept / layout.cluster, 7, 10, QLatin1Char('0')));
    EXPECT_EQ(saved.begin()->second, photo);
}

// A photo taken at an odd second: its file keeps that second, which FAT's
// two-second stamp cannot hold.
TEST(CarveExifTime, PhotoKeepsItsOddSecond)
{
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("card.img"));
    ASSERT_TRUE(makefat(image, 16, 32u << 20, 4)) << lasterror();
    QByteArray photo = formatfile(QStringLiteral("exifjpg"), dir.path(), 5);
    if (photo.isNull())
        KOV_SKIP() << "needs ImageMagick: " << lasterror();
    const QString form = QStringLiteral("yyyy:MM:dd HH:mm:ss");
    const QDateTime taken = exiftime(5).addSecs(1);
    const qsizetype at = photo.indexOf(exiftime(5).toString(form).toLatin1());
    ASSERT_GT(at, 0);
    photo.replace(at, 19, taken.toString(form).toLatin1());
    QByteArray card = contents(image);
    const LAYOUT layout = layoutof(card);
    card.replace(layout.data + 2 * layout.cluster, photo.size(), photo);
    ASSERT_TRUE(writefile(image, card));

    const QString out = dir.filePath(QStringLiteral("out"));
    const CommandOutcome run = kovrecover({QStringLiteral("--carve"), image, out});
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    const QString path = out + QStringLiteral("/lost/carved/jpg/f0000004.jpg");
    ASSERT_EQ(contents(path), photo) << run.err.toStdString();
    EXPECT_EQ(QFileInfo(path).lastModified().toUTC(), taken);
}

// A video longer than the window carving may hold (lowered, that the card
// stays small): read on through its boxes or chunks, written from its
// clusters, whole and under its final name only.
class CarveStreamed : public ::testing::TestWithParam<const char*> {};

TEST_P(CarveStreamed, VideoPastTheWindowComesBackByteForByte)
{
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("card.img"));
    ASSERT_TRUE(makefat(image, 16, 40u << 20, 4)) << lasterror();
    const QString kind = QLatin1String(GetParam());
    const QString made = dir.filePath(QStringLiteral("video.") + kind);
    const QStringList encode = kind == QLatin1String("mp4")
                                   ? QStringList{QStringLiteral("openh264enc"), QStringLiteral("bitrate=20000000"),
                                                 QStringLiteral("!"), QStringLiteral("h264parse"), QStringLiteral("!"),
                                                 QStringLiteral("mp4mux")}
                                   : QStringList{QStringLiteral("jpegenc"), QStringLiteral("quality=90"),
                                                 QStringLiteral("!"), QStringLiteral("avimux")};
    if (!runtool(QStringLiteral("gst-launch-1.0"),
                 QStringList{QStringLiteral("-q"), QStringLiteral("videotestsrc"), QStringLiteral("num-buffers=%1").arg(kind == QLatin1String("mp4") ? 120 : 50),
                             QStringLiteral("pattern=snow"), QStringLiteral("!"),
                             QStringLiteral("video/x-raw,width=640,height=480,framerate=30/1"), QStringLiteral("!")} +
                     encode + QStringList{QStringLiteral("!"), QStringLiteral("filesink"), QStringLiteral("location=") + made}))
        KOV_SKIP() << "needs GStreamer with openh264, jpegenc, mp4mux and avimux: " << lasterror();
    const QByteArray video = contents(made);
    ASSERT_GT(video.size(), 8 << 20);
    const QString out = dir.filePath(QStringLiteral("out"));
    const CommandOutcome run = carvewithsmallwindow(image, video, out);
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    const std::map<QString, QByteArray> saved = filetree(out);
    ASSERT_EQ(saved.size(), 1u) << run.err.toStdString();
    EXPECT_EQ(saved.begin()->first, QStringLiteral("lost/carved/%1/f0000005.%1").arg(kind));
    EXPECT_TRUE(saved.begin()->second == video);
    EXPECT_EQ(carvecount(run.err, "files carved"), 1u) << run.err.toStdString();
    EXPECT_EQ(carvecount(run.err, "too large"), 0u) << run.err.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Videos, CarveStreamed, ::testing::Values("mp4", "avi"));

// A movie whose next box header begins 8 bytes before the window ends:
// the walk over the window cannot read it, and the file goes on past.
TEST(CarveStreamed, BoxHeaderAcrossTheWindowEndIsReadOn)
{
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("card.img"));
    ASSERT_TRUE(makefat(image, 16, 40u << 20, 4)) << lasterror();
    const auto box = [](const char* type, const QByteArray& payload) {
        const std::uint32_t size = std::uint32_t(8 + payload.size());
        QByteArray b;
        for (int shift = 24; shift >= 0; shift -= 8)
            b.append(char(size >> shift));
        return b + QByteArray(type, 4) + payload;
    };
    const int window = 4 << 20;
    QByteArray video = box("ftyp", QByteArray("isom\0\0\2\0isomiso2mp41", 20)) +
                       box("moov", box("mvhd", QByteArray(100, '\0')));
    video += box("free", QByteArray(window - 8 - video.size() - 8, '\0'));
    ASSERT_EQ(video.size(), window - 8);
    video += box("mdat", patterndata(6u << 20, 7));
    QByteArray card = contents(image);
    const LAYOUT layout = layoutof(card);
    card.replace(layout.data + 3 * layout.cluster, video.size(), video);
    ASSERT_TRUE(writefile(image, card));

    const QString out = dir.filePath(QStringLiteral("out"));
    qputenv("KOV_CARVE_WINDOW", QByteArray::number(window));
    const CommandOutcome run = kovrecover({QStringLiteral("--carve"), image, out});
    qunsetenv("KOV_CARVE_WINDOW");
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    const std::map<QString, QByteArray> saved = filetree(out);
    ASSERT_EQ(saved.size(), 1u) << run.err.toStdString();
    EXPECT_EQ(saved.begin()->second.size(), video.size());
    EXPECT_TRUE(saved.begin()->second == video);
}

// An archive longer than the window (lowered): read forward from the
// card, every member inflated against its CRC-32, written from its
// clusters. zip names each member's sizes in its local header when it
// writes a file, and in a data descriptor after the data when it writes to
// a pipe (a stored one's too; python's zipfile only there); gzip's members
// are read to their trailers.
struct ARCHIVECASE {
    const char* name;
    const char* type;
    bool damaged;  // a byte of the first member's data changed
};

void PrintTo(const ARCHIVECASE& c, std::ostream* os) { *os << c.name << (c.damaged ? " damaged" : ""); }

class CarveStreamedArchive : public ::testing::TestWithParam<ARCHIVECASE> {};

TEST_P(CarveStreamedArchive, ArchivePastTheWindowIsCarvedOnlyWhenEveryMemberHolds)
{
    const ARCHIVECASE c = GetParam();
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("card.img"));
    ASSERT_TRUE(makefat(image, 16, 40u << 20, 4)) << lasterror();
    // Noise deflates to about its size, hex text to about half of its.
    const QString a = dir.filePath(QStringLiteral("noise.bin"));
    const QString b = dir.filePath(QStringLiteral("text.txt"));
    ASSERT_TRUE(writefile(a, patterndata(5u << 20, 11)));
    ASSERT_TRUE(writefile(b, patterndata(1u << 20, 12).toHex()));
    const QString name = QLatin1String(c.name);
    QByteArray archive;
    bool made = false;
    if (name == QLatin1String("zip")) {
        const QString out = dir.filePath(QStringLiteral("a.zip"));
        made = runtool(QStringLiteral("zip"), {QStringLiteral("-q"), QStringLiteral("-X"), QStringLiteral("-j"), out, a, b});
        archive = contents(out);
    } else if (name == QLatin1String("zip-pipe")) {
        made = runtool(QStringLiteral("zip"), {QStringLiteral("-q"), QStringLiteral("-X"), QStringLiteral("-j"),
                                               QStringLiteral("-"), a, b},
                       &archive);
    } else if (name == QLatin1String("zip-pipe-stored")) {
        made = runtool(QStringLiteral("zip"), {QStringLiteral("-q"), QStringLiteral("-X"), QStringLiteral("-j"),
                                               QStringLiteral("-0"), QStringLiteral("-"), a, b},
                       &archive);
    } else if (name == QLatin1String("python-pipe-stored")) {
        // Written to a pipe, each entry's sizes only after its data; an
        // empty entry and an empty folder too.
        const QString script = QStringLiteral(
            "import sys, zipfile\n"
            "with zipfile.ZipFile(sys.stdout.buffer, 'w', zipfile.ZIP_STORED) as z:\n"
            "    for n in sys.argv[1:]: z.write(n, n.rsplit('/', 1)[-1])\n"
            "    z.writestr('empty', b'')\n"
            "    z.writestr('folder/', b'')\n");
        made = runtool(QStringLiteral("python3"), {QStringLiteral("-c"), script, a, b}, &archive);
    } else {
        QByteArray second;
        made = runtool(QStringLiteral("gzip"), {QStringLiteral("-c"), QStringLiteral("-n"), a}, &archive) &&
               runtool(QStringLiteral("gzip"), {QStringLiteral("-c"), QStringLiteral("-n"), b}, &second);
        archive += second;  // two members
    }
    if (!made)
        KOV_SKIP() << "cannot make the archive: " << lasterror();
    ASSERT_GT(archive.size(), 5 << 20);
    if (name.contains(QLatin1String("pipe"))) {
        ASSERT_TRUE(archive[6] & 8) << "no data descriptor written";
    }
    if (c.damaged)
        archive[1 << 20] = char(archive[1 << 20] ^ 0x40);
    const QString out = dir.filePath(QStringLiteral("out"));
    const CommandOutcome run = carvewithsmallwindow(image, archive, out);
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    const std::map<QString, QByteArray> saved = filetree(out);
    EXPECT_EQ(carvecount(run.err, "too large"), 0u) << run.err.toStdString();
    if (c.damaged) {
        EXPECT_TRUE(saved.empty()) << run.err.toStdString();
        return;
    }
    ASSERT_EQ(saved.size(), 1u) << run.err.toStdString();
    EXPECT_EQ(saved.begin()->first, QStringLiteral("lost/carved/%1/f0000005.%1").arg(QLatin1String(c.type)));
    EXPECT_EQ(saved.begin()->second.size(), archive.size());
    EXPECT_TRUE(saved.begin()->second == archive);
}

INSTANTIATE_TEST_SUITE_P(Archives, CarveStreamedArchive,
                         ::testing::Values(ARCHIVECASE{"zip", "zip", false}, ARCHIVECASE{"zip-pipe", "zip", false},
                                           ARCHIVECASE{"gzip", "gz", false}, ARCHIVECASE{"zip", "zip", true},
                                           ARCHIVECASE{"zip-pipe", "zip", true}, ARCHIVECASE{"gzip", "gz", true},
                                           ARCHIVECASE{"zip-pipe-stored", "zip", false},
                                           ARCHIVECASE{"zip-pipe-stored", "zip", true},
                                           ARCHIVECASE{"python-pipe-stored", "zip", false},
                                           ARCHIVECASE{"python-pipe-stored", "zip", true}));

// A document or photo longer than the window whose structure lies
// anywhere in it (TIFF's IFDs, a DNG's JPEG preview, a PDF's updates and
// cross-reference, OLE2's FAT): walked on the card through pages read
// where its offsets lead, written from its clusters. The TIFF is longer
// than the largest window carving holds, the DNG than the window a
// streamed file is held in; the PDF, OLE2 file and camera clip (its
// packets read forward) pass a lowered one.
struct WALKEDCASE {
    const char* kind;
    const char* type;
    int window;  // KOV_CARVE_WINDOW, 0 for none
};

void PrintTo(const WALKEDCASE& c, std::ostream* os) { *os << c.kind; }

class CarveWalked : public ::testing::TestWithParam<WALKEDCASE> {};

TEST_P(CarveWalked, FilePastTheWindowComesBackByteForByte)
{
    const WALKEDCASE c = GetParam();
    QTemporaryDir dir;
    const QString kind = QLatin1String(c.kind);
    QByteArray file;
    if (kind == QLatin1String("tif")) {
        // Noise in strips, past every window, and a second page after it.
        const QString made = dir.filePath(QStringLiteral("big.tif"));
        if (runtool(QStringLiteral("convert"),
                    {QStringLiteral("-size"), QStringLiteral("5000x4800"), QStringLiteral("xc:"),
                     QStringLiteral("+noise"), QStringLiteral("Random"), QStringLiteral("-depth"), QStringLiteral("8"),
                     QStringLiteral("("), QStringLiteral("-size"), QStringLiteral("320x240"),
                     QStringLiteral("plasma:fractal"), QStringLiteral(")"), QStringLiteral("-compress"),
                     QStringLiteral("none"), made}))
            file = contents(made);
        QFile::remove(made);
    } else if (kind == QLatin1String("dng")) {
        file = rawshot(kind, dir.path(), 3, 20u << 20).raw;
    } else {
        file = formatfile(kind, dir.path(), 3);
    }
    if (file.isNull())
        KOV_SKIP() << "cannot make a " << c.kind << " file: " << lasterror();
    ASSERT_GT(file.size(), c.window != 0 ? c.window : 16 << 20);
    const QString image = dir.filePath(QStringLiteral("card.img"));
    ASSERT_TRUE(makefat(image, 32, std::uint64_t(file.size()) + (40u << 20), 8)) << lasterror();
    QByteArray card = contents(image);
    const LAYOUT layout = layoutof(card);
    card.replace(layout.data + 3 * layout.cluster, file.size(), file);
    ASSERT_TRUE(writefile(image, card));
    card.clear();
    const QString out = dir.filePath(QStringLiteral("out"));
    if (c.window != 0)
        qputenv("KOV_CARVE_WINDOW", QByteArray::number(c.window));
    const CommandOutcome run = kovrecover({QStringLiteral("--carve"), image, out});
    qunsetenv("KOV_CARVE_WINDOW");
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    const std::map<QString, QByteArray> saved = filetree(out);
    ASSERT_EQ(saved.size(), 1u) << run.err.toStdString();
    EXPECT_EQ(saved.begin()->first, QStringLiteral("lost/carved/%1/f0000005.%1").arg(QLatin1String(c.type)));
    EXPECT_EQ(saved.begin()->second.size(), file.size());
    EXPECT_TRUE(saved.begin()->second == file);
    EXPECT_EQ(carvecount(run.err, "too large"), 0u) << run.err.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Files, CarveWalked,
                         ::testing::Values(WALKEDCASE{"tif", "tif", 0}, WALKEDCASE{"dng", "dng", 0},
                                           WALKEDCASE{"bigpdf", "pdf", 4 << 20}, WALKEDCASE{"bigdoc", "ole", 4 << 20},
                                           WALKEDCASE{"bigm2ts", "mts", 4 << 20}),
                         [](const auto& info) { return std::string(info.param.kind); });

// An archive longer than what failed starts may cost before any has
// failed (a backup at the card's start): read through once, it is carved.
TEST(CarveStreamedArchive, ArchiveOfMoreThanAGibibyteAtTheStartIsCarved)
{
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("card.img"));
    ASSERT_TRUE(makefat(image, 32, 1100u << 20, 8)) << lasterror();
    // Sparse: the bytes read cost the same whatever they are.
    const QString noise = dir.filePath(QStringLiteral("zeros.bin"));
    QFile zeros(noise);
    ASSERT_TRUE(zeros.open(QIODevice::WriteOnly) && zeros.resize(1040u << 20));
    zeros.close();
    const QString zip = dir.filePath(QStringLiteral("a.zip"));
    if (!runtool(QStringLiteral("zip"), {QStringLiteral("-q"), QStringLiteral("-X"), QStringLiteral("-j"),
                                         QStringLiteral("-0"), zip, noise}))
        KOV_SKIP() << "cannot make the archive: " << lasterror();
    QFile::remove(noise);
    const QByteArray archive = contents(zip);
    QFile::remove(zip);
    // Written in place: the card is too large to rewrite whole.
    QFile card(image);
    ASSERT_TRUE(card.open(QIODevice::ReadWrite));
    const LAYOUT layout = layoutof(card.read(512));
    ASSERT_TRUE(card.seek(layout.data + 3 * layout.cluster));
    ASSERT_EQ(card.write(archive), archive.size());
    card.close();
    const QString out = dir.filePath(QStringLiteral("out"));
    const CommandOutcome run = kovrecover({QStringLiteral("--carve"), image, out});
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    EXPECT_EQ(carvecount(run.err, "files carved"), 1u) << run.err.toStdString();
    EXPECT_TRUE(contents(out + QStringLiteral("/lost/carved/zip/f0000005.zip")) == archive) << run.err.toStdString();
}

}  // namespace

namespace {

// Files deleted and their folder's slots taken again by new files, which
// the allocator also put on the lowest free clusters, over the first old
// ones: no entry names the old files, but those still whole are carved.
TEST(CarveReusedEntries, OldFilesWhoseSlotsWereReusedComeBackWhole)
{
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("card.img"));
    ASSERT_TRUE(makefat(image, 16, 32u << 20, 4)) << lasterror();
    ASSERT_TRUE(mmd(image, QStringLiteral("PHOTOS"))) << lasterror();
    const QString local = dir.filePath(QStringLiteral("local"));
    std::set<QByteArray> old;
    const char* kinds[] = {"jpg", "png", "pdf", "gif", "zip", "jpg", "wav", "png"};
    for (int i = 0; i < 8; ++i) {
        const QByteArray data = formatfile(QString::fromLatin1(kinds[i]), dir.path(), 40 + i);
        if (data.isNull())
            KOV_SKIP() << "cannot make a " << kinds[i] << " file: " << lasterror();
        ASSERT_TRUE(writefile(local, data));
        ASSERT_TRUE(mcopy(image, local, QStringLiteral("PHOTOS/P%1.BIN").arg(i))) << lasterror();
        old.insert(data);
    }
    for (int i = 0; i < 8; ++i)
        ASSERT_TRUE(mdel(image, QStringLiteral("PHOTOS/P%1.BIN").arg(i))) << lasterror();
    std::set<QByteArray> live;
    for (int i = 0; i < 8; ++i) {
        const QByteArray data = patterndata(1500, std::uint32_t(90 + i));
        ASSERT_TRUE(writefile(local, data));
        ASSERT_TRUE(mcopy(image, local, QStringLiteral("PHOTOS/N%1.TXT").arg(i))) << lasterror();
        live.insert(data);
    }
    const QByteArray card = contents(image);
    ASSERT_EQ(card.indexOf(QByteArray("\xE5" "0      BIN")), -1) << "a deleted slot was not reused";
    const LAYOUT layout = layoutof(card);
    std::set<QByteArray> intact;
    for (const QByteArray& data : old)
        for (qint64 at = card.indexOf(data, layout.data); at >= 0; at = card.indexOf(data, at + 1))
            if ((at - layout.data) % layout.cluster == 0) {
                intact.insert(data);
                break;
            }
    ASSERT_EQ(intact.size(), old.size() - 1) << "the new files must overwrite the first old file only";

    const QString out = dir.filePath(QStringLiteral("out"));
    const CommandOutcome run = kovrecover({QStringLiteral("--carve"), image, out});
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    std::set<QByteArray> back;
    for (const auto& [path, data] : filetree(out)) {
        EXPECT_TRUE(path.startsWith(QLatin1String("lost/carved/"))) << path.toStdString();
        EXPECT_TRUE(old.count(data)) << path.toStdString() << ": carved bytes no old file had";
        EXPECT_FALSE(live.count(data)) << path.toStdString();
        back.insert(data);
    }
    EXPECT_EQ(back, intact);
}

}  // namespace

namespace {

// A card of 4 KiB clusters formatted again with 512-byte ones, shot on,
// and quick-formatted once more: the run goes on to the earlier layout's
// folders, and the new photos, which no entry names any more, start on
// the volume's own cluster starts, most of them not on an earlier one's.
TEST(CarveEveryLayout, TheVolumesOwnClusterStartsAreCarvedAfterAnEarlierLayout)
{
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("card.img"));
    QList<CardFile> files;
    // The old folders past the larger tables of the new format.
    ASSERT_TRUE(makecard(image, 32, 300u << 20, 8, 60, &files, 3, 6u << 20)) << lasterror();
    const BootGeometry earlier = bootgeometry(image);
    const auto reformat = [&] {
        return runtool(QStringLiteral("mkfs.fat"), {QStringLiteral("-F"), QStringLiteral("32"), QStringLiteral("-s"),
                                                    QStringLiteral("1"), image});
    };
    ASSERT_TRUE(reformat()) << lasterror();
    // Far past the old files, which the earlier layout's folders give back.
    ASSERT_TRUE(setfsinfohint(image, 500000)) << lasterror();
    const QString local = dir.filePath(QStringLiteral("local"));
    std::vector<QByteArray> photos;
    for (int i = 0; i < 6; ++i) {
        photos.push_back(formatfile(QStringLiteral("jpg"), dir.path(), 60 + i));
        if (photos.back().isNull())
            KOV_SKIP() << "cannot make a jpg file: " << lasterror();
        ASSERT_TRUE(writefile(local, photos.back()));
        ASSERT_TRUE(mcopy(image, local, QStringLiteral("IMG%1.JPG").arg(i))) << lasterror();
    }
    ASSERT_TRUE(reformat()) << lasterror();
    const BootGeometry own = bootgeometry(image);
    const QByteArray card = contents(image);
    std::map<QByteArray, qint64> ownonly;  // photo -> its own start cluster, not an earlier cluster's start
    for (const QByteArray& photo : photos) {
        const qint64 at = card.indexOf(photo, qint64(own.datastart));
        ASSERT_GE(at, 0);
        ASSERT_EQ((at - qint64(own.datastart)) % qint64(own.clustersize), 0);
        if ((at - qint64(earlier.datastart)) % qint64(earlier.clustersize) != 0)
            ownonly[photo] = (at - qint64(own.datastart)) / qint64(own.clustersize) + 2;
    }
    ASSERT_FALSE(ownonly.empty()) << "every photo starts on an earlier cluster too";

    const QString out = dir.filePath(QStringLiteral("out"));
    const CommandOutcome run = kovrecover({QStringLiteral("--deep"), QStringLiteral("--carve"), image, out});
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    ASSERT_TRUE(run.err.contains("earlier layout: FAT32 (found), 4096 byte clusters")) << run.err.toStdString();
    std::set<QByteArray> old;
    for (const CardFile& f : files)
        old.insert(f.data);
    std::map<QByteArray, QStringList> where;
    for (const auto& [path, data] : filetree(out)) {
        where[data] << path;
        if (path.contains(QLatin1String("carved/"))) {
            EXPECT_TRUE(old.count(data) || std::count(photos.begin(), photos.end(), data))
                << path.toStdString() << ": carved bytes no file had";
        }
    }
    for (const QByteArray& photo : photos) {
        ASSERT_EQ(where[photo].size(), 1) << "a photo not back exactly once: " << where[photo].join(u' ').toStdString()
                                          << run.err.toStdString();
        if (ownonly.count(photo)) {
            EXPECT_EQ(where[photo][0],
                      QStringLiteral("lost/carved/jpg/f%1.jpg").arg(ownonly.at(photo), 7, 10, QLatin1Char('0')));
        }
    }
    EXPECT_EQ(carvecount(run.err, "files carved"), photos.size()) << run.err.toStdString();
}

}  // namespace

namespace {

// An exFAT card quick-formatted and shot on: the new photos take the old
// folder's cluster and the first old photo's start, the other old files
// lie whole where no entry set names them, and are carved.
TEST(CarveExfat, QuickFormattedCardShotOnGivesTheWholeOldFilesBack)
{
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("card.img"));
    constexpr std::uint32_t clusterbytes = 4096;
    ASSERT_TRUE(makeexfat(image, 64u << 20, clusterbytes)) << lasterror();
    std::set<QByteArray> old, live;
    const char* kinds[] = {"exifjpg", "jpg", "png", "pdf", "zip", "jpg", "gif", "wav"};
    {
        ExfatMount m(image);
        if (!m.ok())
            KOV_SKIP() << m.why().toStdString();
        ASSERT_TRUE(m.mkdir(QStringLiteral("DCIM")));
        for (int i = 0; i < 8; ++i) {
            const QByteArray data = formatfile(QString::fromLatin1(kinds[i]), dir.path(), 70 + i);
            if (data.isNull())
                KOV_SKIP() << "cannot make a " << kinds[i] << " file: " << lasterror();
            ASSERT_TRUE(m.write(QStringLiteral("DCIM/OLD%1.BIN").arg(i), data));
            old.insert(data);
        }
        ASSERT_TRUE(m.unmount());
    }
    ASSERT_TRUE(makeexfat(image, 64u << 20, clusterbytes)) << lasterror();
    {
        ExfatMount m(image);
        ASSERT_TRUE(m.ok()) << m.why().toStdString();
        for (int i = 0; i < 2; ++i) {
            const QByteArray data = formatfile(QStringLiteral("jpg"), dir.path(), 90 + i) + QByteArray(clusterbytes, 'x');
            ASSERT_TRUE(m.write(QStringLiteral("NEW%1.JPG").arg(i), data));
            live.insert(data);
        }
        ASSERT_TRUE(m.unmount());
    }
    const QByteArray card = contents(image);
    std::set<QByteArray> intact;  // whole, from a cluster start
    for (const QByteArray& data : old)
        for (qint64 at = card.indexOf(data); at >= 0; at = card.indexOf(data, at + 1))
            if (at % clusterbytes == 0) {
                intact.insert(data);
                break;
            }
    ASSERT_LT(intact.size(), old.size()) << "the new photos overwrote no old file";
    ASSERT_GE(intact.size(), old.size() - 2);

    const QString out = dir.filePath(QStringLiteral("out"));
    const CommandOutcome run = kovrecover({QStringLiteral("--deep"), QStringLiteral("--carve"), image, out});
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    std::multiset<QByteArray> back;
    int carved = 0;
    for (const auto& [path, data] : filetree(out)) {
        back.insert(data);
        EXPECT_FALSE(live.count(data)) << path.toStdString() << ": a live file carved again";
        if (path.startsWith(QLatin1String("lost/carved/"))) {
            ++carved;
            EXPECT_TRUE(old.count(data)) << path.toStdString() << ": carved bytes no old file had";
        }
    }
    for (const QByteArray& data : intact)
        EXPECT_EQ(back.count(data), 1u) << "an intact old file not back exactly once\n" << run.err.toStdString();
    EXPECT_GT(carved, 0);
    EXPECT_EQ(carvecount(run.err, "files carved"), std::uint64_t(carved)) << run.err.toStdString();
}

}  // namespace
