// What the deep scan takes for a directory cluster: every directory cluster
// that mkfs.fat and mtools write, and none of the text that the licence
// files on this machine would leave in free clusters.
#include "deep/dirslots.h"
#include "support/fatbuilder.h"
#include "support/mtoolsimage.h"
#include "support/skip.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace testsupport;

namespace {

// The clusters mshowfat gives for a file or directory ("<3> <10-12>").
std::vector<std::uint32_t> clustersof(const QString& image, const QString& fatpath)
{
    QByteArray out;
    if (!runtool("mshowfat", {"-i", image, "::/" + fatpath}, &out))
        return {};
    std::vector<std::uint32_t> clusters;
    static const QRegularExpression run(QStringLiteral("<(\\d+)(?:-(\\d+))?>"));
    for (auto it = run.globalMatch(QString::fromLatin1(out)); it.hasNext();) {
        const auto m = it.next();
        const std::uint32_t first = m.captured(1).toUInt();
        const std::uint32_t last = m.captured(2).isEmpty() ? first : m.captured(2).toUInt();
        for (std::uint32_t c = first; c <= last && c - first < 1000; ++c)
            clusters.push_back(c);
    }
    return clusters;
}

struct Layout {
    int fatbits;
    std::uint64_t bytes;
    int sectorspercluster;
};

class RealDirectories : public ::testing::TestWithParam<Layout> {};

}  // namespace

// Short and long names, lower-case 8.3 names (case bits), an empty file,
// deleted files, a deleted tree, dot entries, the FAT32 root with its
// volume label, and a directory over several clusters.
TEST_P(RealDirectories, EveryClusterPasses)
{
    const Layout layout = GetParam();
    QTemporaryDir dir;
    const QString image = dir.filePath("dirs.img");
    ASSERT_TRUE(makefat(image, layout.fatbits, layout.bytes, layout.sectorspercluster, {"-n", "CARD LABEL"}))
        << lasterror();
    const QString local = dir.filePath("f");
    ASSERT_TRUE(writefile(local, patterndata(3000, 1)));
    const QString empty = dir.filePath("empty");
    ASSERT_TRUE(writefile(empty, QByteArray()));
    for (const char* d : {"DCIM", "DCIM/100CANON", "TREE", "TREE/DEEP"})
        ASSERT_TRUE(mmd(image, d)) << lasterror();
    for (int i = 0; i < 40; ++i)
        ASSERT_TRUE(mcopy(image, local, QString("DCIM/100CANON/Holiday picture %1.jpg").arg(i))) << lasterror();
    for (const char* f : {"DCIM/IMG_0001.JPG", "DCIM/lower.txt", "DCIM/Mixed.Txt", "TREE/DEEP/X.TXT", "TREE/Y.TXT",
                          "ROOT.TXT", "A long name in the root.txt"})
        ASSERT_TRUE(mcopy(image, local, f)) << lasterror();
    ASSERT_TRUE(mcopy(image, empty, "DCIM/EMPTY.DAT")) << lasterror();

    std::vector<std::uint32_t> clusters;
    for (const char* d : {"DCIM", "DCIM/100CANON", "TREE", "TREE/DEEP"}) {
        const auto more = clustersof(image, d);
        ASSERT_FALSE(more.empty()) << d << ": " << lasterror();
        clusters.insert(clusters.end(), more.begin(), more.end());
    }
    if (layout.fatbits == 32)
        clusters.push_back(2);  // the root, which holds the label
    for (int i = 0; i < 40; i += 3)
        ASSERT_TRUE(mdel(image, QString("DCIM/100CANON/Holiday picture %1.jpg").arg(i))) << lasterror();
    for (const char* f : {"DCIM/IMG_0001.JPG", "DCIM/lower.txt", "A long name in the root.txt"})
        ASSERT_TRUE(mdel(image, f)) << lasterror();
    ASSERT_TRUE(mdeltree(image, "TREE")) << lasterror();

    QFile f(image);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray boot = f.read(512);
    const auto* b = reinterpret_cast<const unsigned char*>(boot.constData());
    const std::uint64_t sectorbytes = get16(b + 11);
    const std::uint64_t clusterbytes = sectorbytes * b[13];
    const std::uint64_t fatsectors = layout.fatbits == 32 ? get32(b + 36) : get16(b + 22);
    const std::uint64_t rootsectors = (get16(b + 17) * 32 + sectorbytes - 1) / sectorbytes;
    const std::uint64_t data = (get16(b + 14) + b[16] * fatsectors + rootsectors) * sectorbytes;
    const deep::SLOTRULES rules{layout.fatbits == 32, fatsectors * sectorbytes * 8 / layout.fatbits};
    for (const std::uint32_t c : clusters) {
        ASSERT_TRUE(f.seek(qint64(data + (c - 2) * clusterbytes)));
        const QByteArray cluster = f.read(qint64(clusterbytes));
        ASSERT_EQ(cluster.size(), qint64(clusterbytes));
        EXPECT_GT(deep::directoryslots(reinterpret_cast<const unsigned char*>(cluster.constData()), clusterbytes,
                                       rules),
                  0u)
            << "cluster " << c;
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, RealDirectories,
                         ::testing::Values(Layout{16, 24u << 20, 1}, Layout{16, 64u << 20, 4},
                                           Layout{32, 40u << 20, 1}, Layout{32, 80u << 20, 2}),
                         [](const auto& info) {
                             return "Fat" + std::to_string(info.param.fatbits) + "Cluster" +
                                    std::to_string(info.param.sectorspercluster * 512);
                         });

namespace {

// Every distinct licence text on this machine.
QList<QByteArray> licencetexts()
{
    QStringList paths;
    for (const QFileInfo& info : QDir(QStringLiteral("/usr/share/common-licenses")).entryInfoList(QDir::Files))
        paths << info.filePath();
    for (const QString& package : QDir(QStringLiteral("/usr/share/doc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        paths << QStringLiteral("/usr/share/doc/%1/copyright").arg(package);
    QSet<QByteArray> seen;
    QList<QByteArray> texts;
    for (const QString& path : paths) {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = f.readAll();
        if (!text.isEmpty() && !seen.contains(text)) {
            seen.insert(text);
            texts << text;
        }
    }
    return texts;
}

// Lines with letters and no lower-case letter, with their line end.
QList<QByteArray> capitallines(const QList<QByteArray>& texts)
{
    QSet<QByteArray> lines;
    static const QRegularExpression lower(QStringLiteral("[a-z]")), upper(QStringLiteral("[A-Z]"));
    for (const QByteArray& text : texts)
        for (const QByteArray& line : text.split('\n')) {
            const QString s = QString::fromLatin1(line);
            if (s.contains(upper) && !s.contains(lower))
                lines.insert(line + '\n');
        }
    return lines.values();
}

// Volumes as large as each FAT type gets, so that the size bound is at its
// loosest: 65,525 clusters, and 2^28 clusters, of 32 KiB.
const deep::SLOTRULES fat16{false, 65525};
const deep::SLOTRULES fat32{true, 0x0FFFFFF7};

struct Passing {
    std::uint64_t fat16 = 0;
    std::uint64_t fat32 = 0;
    std::uint64_t pieces = 0;
};

// Puts each piece at the start of a cluster whose other bytes are zero, as
// the end of a file lies on a volume, and counts the clusters that pass.
void count(const QList<QByteArray>& pieces, std::size_t clusterbytes, Passing* p)
{
    std::vector<unsigned char> cluster(clusterbytes, 0);
    for (const QByteArray& piece : pieces) {
        const std::size_t n = std::min(std::size_t(piece.size()), clusterbytes);
        std::memcpy(cluster.data(), piece.constData(), n);
        p->fat16 += deep::directoryslots(cluster.data(), clusterbytes, fat16) ? 1 : 0;
        p->fat32 += deep::directoryslots(cluster.data(), clusterbytes, fat32) ? 1 : 0;
        std::memset(cluster.data(), 0, n);
        ++p->pieces;
    }
}

QList<QByteArray> cut(const QList<QByteArray>& texts, qsizetype size)
{
    QList<QByteArray> pieces;
    for (const QByteArray& text : texts)
        for (qsizetype at = 0; at < text.size(); at += size)
            pieces << text.mid(at, size);
    return pieces;
}

}  // namespace

// Each all-caps line alone in a file; every 32-byte slot of every text as
// it lies from a cluster boundary, where the file ends after it; and every
// text laid on 512- and 4096-byte clusters.
TEST(TextIsNoDirectory, LicenceTextsOnThisMachine)
{
    const QList<QByteArray> texts = licencetexts();
    if (texts.isEmpty())
        KOV_SKIP() << "no licence texts under /usr/share";
    Passing lines, fragments, clusters;
    count(capitallines(texts), 32768, &lines);
    count(cut(texts, 32), 32768, &fragments);
    for (const qsizetype size : {512, 4096})
        count(cut(texts, size), std::size_t(size), &clusters);
    const auto say = [](const char* what, const Passing& p) {
        std::printf("%s: %llu on FAT16, %llu on FAT32 of %llu pass\n", what,
                    static_cast<unsigned long long>(p.fat16), static_cast<unsigned long long>(p.fat32),
                    static_cast<unsigned long long>(p.pieces));
    };
    say("all-caps lines", lines);
    say("32-byte fragments", fragments);
    say("clusters of text", clusters);
    ASSERT_GT(lines.pieces, 0u);
    EXPECT_EQ(lines.fat16 + lines.fat32, 0u);
    EXPECT_EQ(fragments.fat16 + fragments.fat32, 0u);
    EXPECT_EQ(clusters.fat16 + clusters.fat32, 0u);
}
