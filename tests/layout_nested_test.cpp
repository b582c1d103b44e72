// Layouts that are not the card's: a disk image stored on the card, whose
// directories agree on a layout of their own, and an earlier format whose
// data start lay one sector before the new one's. Neither may take the
// card's own directories.
#include "support/cardimage.h"
#include "support/kovrecoverrun.h"
#include "support/mtoolsimage.h"
#include "support/qtprint.h"

#include <QDir>
#include <QSet>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace testsupport;

namespace {

struct Written {
    QString path;
    QByteArray data;
};

class LayoutNested : public ::testing::Test {
protected:
    QTemporaryDir tmp;
    int staged = 0;

    // Copies files into folder of image in one mcopy (as a camera or a
    // desktop copy would: the directory grows between the files).
    bool copyall(const QString& image, const QString& folder, const QList<Written>& files)
    {
        const QString stage = tmp.filePath(QStringLiteral("stage%1").arg(staged++));
        QDir().mkpath(stage);
        QStringList args{QStringLiteral("-i"), image};
        for (const Written& f : files) {
            if (!writefile(stage + QLatin1Char('/') + f.path, f.data))
                return false;
            args << stage + QLatin1Char('/') + f.path;
        }
        args << QStringLiteral("::/") + folder + QLatin1Char('/');
        return runtool(QStringLiteral("mcopy"), args);
    }
    // A FAT16 image of folders folders with files files between them.
    QByteArray diskimage(int folders, int files)
    {
        const QString image = tmp.filePath(QStringLiteral("inner%1.img").arg(staged++));
        EXPECT_TRUE(makefat(image, 16, 16u << 20, 4)) << lasterror();
        for (int d = 0; d < folders; ++d) {
            const QString folder = QStringLiteral("BACKUP%1").arg(d);
            EXPECT_TRUE(mmd(image, folder));
            QList<Written> inside;
            for (int k = d; k < files; k += folders)
                inside.append({QStringLiteral("Backed up %1.dat").arg(k), patterndata(3000 + 517 * k, 900 + k)});
            EXPECT_TRUE(copyall(image, folder, inside)) << lasterror();
        }
        return contents(image);
    }
    // How many of files came back byte for byte, anywhere in tree.
    static int back(const QMap<QString, QByteArray>& tree, const QList<Written>& files)
    {
        QSet<QByteArray> got;
        for (const QByteArray& data : tree)
            got.insert(data);
        int n = 0;
        for (const Written& f : files)
            n += got.contains(f.data) ? 1 : 0;
        return n;
    }
};

}  // namespace

TEST_F(LayoutNested, DiskImageOnACardWithoutSystemAreaIsNotTakenForTheCard)
{
    // The image has more folders than the card: its layout has the most
    // directories that agree, yet all of them lie inside BACKUP.IMG.
    const QString card = tmp.filePath(QStringLiteral("card.img"));
    ASSERT_TRUE(makefat(card, 32, 64u << 20, 1)) << lasterror();
    const QString local = tmp.filePath(QStringLiteral("BACKUP.IMG"));
    ASSERT_TRUE(writefile(local, diskimage(8, 36)));
    ASSERT_TRUE(mcopy(card, local, QStringLiteral("BACKUP.IMG")));
    QList<Written> own;
    for (const char* folder : {"DCIM", "DOCS", "MUSIC"}) {
        ASSERT_TRUE(mmd(card, QLatin1String(folder)));
        QList<Written> files;
        for (int k = 0; k < (folder[0] == 'D' ? 3 : 2); ++k)
            files.append({QStringLiteral("%1 file %2.bin").arg(QLatin1String(folder)).arg(k),
                          patterndata(5000 + 1000 * k, 40 + own.size() + k)});
        ASSERT_TRUE(copyall(card, QLatin1String(folder), files)) << lasterror();
        own += files;
    }
    ASSERT_EQ(own.size(), 8);
    ASSERT_TRUE(overwrite(card, 0, bootgeometry(card).datastart));

    const QString out = tmp.filePath(QStringLiteral("out"));
    const CommandOutcome o = kovrecover({QStringLiteral("--deep"), card, out});
    ASSERT_EQ(o.status, 0) << o.err.constData();
    EXPECT_TRUE(o.err.contains("layout found: FAT32 (found), 512 byte clusters")) << o.err.constData();
    EXPECT_FALSE(o.err.contains("2048 byte clusters")) << o.err.constData();
    EXPECT_EQ(back(outputtree(out), own), 8) << o.err.constData();
}

TEST_F(LayoutNested, LiveDiskImageIsNoEarlierLayoutAndLeavesTheCardsFolders)
{
    // A sound card: a live FAT16 image of 2 KiB clusters, like the card's,
    // and a deleted folder of text files whose first directory cluster a
    // later file took. Its other directory clusters are the card's own.
    const QString card = tmp.filePath(QStringLiteral("card.img"));
    ASSERT_TRUE(makefat(card, 16, 64u << 20, 4)) << lasterror();
    const QString local = tmp.filePath(QStringLiteral("BACKUP.IMG"));
    ASSERT_TRUE(writefile(local, diskimage(6, 30)));
    ASSERT_TRUE(mcopy(card, local, QStringLiteral("BACKUP.IMG")));
    ASSERT_TRUE(mmd(card, QStringLiteral("Notes")));
    QList<Written> notes;
    for (int k = 0; k < 300; ++k) {
        QByteArray text;
        for (int line = 0; line < 3 + k % 40; ++line)
            text += QStringLiteral("note %1, line %2 of a text file\n").arg(k).arg(line).toUtf8();
        notes.append({QStringLiteral("Text note number %1.txt").arg(k), text});
    }
    ASSERT_TRUE(copyall(card, QStringLiteral("Notes"), notes)) << lasterror();
    ASSERT_TRUE(mdeltree(card, QStringLiteral("Notes")));
    ASSERT_TRUE(writefile(local, patterndata(1500, 3)) && mcopy(card, local, QStringLiteral("LATER.BIN")));

    const QString out = tmp.filePath(QStringLiteral("out"));
    const CommandOutcome o = kovrecover({QStringLiteral("--deep"), QStringLiteral("--verify"), card, out});
    ASSERT_EQ(o.status, 0) << o.err.constData();
    EXPECT_FALSE(o.err.contains("earlier layout")) << o.err.constData();
    const QMap<QString, QByteArray> tree = outputtree(out);
    QSet<QByteArray> known;
    for (const Written& f : notes)
        known.insert(f.data);
    for (auto it = tree.begin(); it != tree.end(); ++it) {
        if (it.key().startsWith(QLatin1String("lost/"))) {
            EXPECT_TRUE(known.contains(it.value())) << "not a file of the card: " << qPrintable(it.key());
        }
    }
    // The first directory cluster held the first entries; the rest list
    // the notes after them.
    EXPECT_GE(back(tree, notes), 280) << o.err.constData();
}

TEST_F(LayoutNested, FolderOfAFormatOneSectorOnKeepsEveryDirectoryPiece)
{
    // mkfs.fat -a -R 32 (2 KiB clusters), old folders far out, then -R 33
    // over it: the new data start is one sector after the old one, and a
    // piece of the new format's deleted folder with the piece before it,
    // shifted by 512 bytes, is also a cluster of the old layout that
    // parses as slots.
    QList<Written> notes;
    for (int k = 0; k < 174; ++k)
        notes.append({QStringLiteral("Text file number %1.txt").arg(k),
                      QStringLiteral("line of file %1\n").arg(k).toUtf8().repeated(3 + k % 7)});
    auto make = [&](const QString& card, bool old) {
        ASSERT_TRUE(makefat(card, 16, 32u << 20, 4, {QStringLiteral("-a"), QStringLiteral("-R"), QStringLiteral("32")}))
            << lasterror();
        if (old) {
            const QString pad = tmp.filePath(QStringLiteral("pad"));
            ASSERT_TRUE(writefile(pad, QByteArray(8000000, '\0')) && mcopy(card, pad, QStringLiteral("PAD")));
            for (int d = 0; d < 5; ++d) {
                const QString folder = QStringLiteral("OLD%1").arg(d);
                ASSERT_TRUE(mmd(card, folder));
                ASSERT_TRUE(copyall(card, folder, {{QStringLiteral("F1.TXT"), patterndata(4000, 70 + d)}}));
            }
            ASSERT_TRUE(mdel(card, QStringLiteral("PAD")));
        }
        ASSERT_TRUE(runtool(QStringLiteral("mkfs.fat"), {QStringLiteral("-a"), QStringLiteral("-R"), QStringLiteral("33"),
                                                         QStringLiteral("-F"), QStringLiteral("16"), QStringLiteral("-s"),
                                                         QStringLiteral("4"), QStringLiteral("-i"),
                                                         QStringLiteral("1234ABCD"), card}))
            << lasterror();
        ASSERT_TRUE(mmd(card, QStringLiteral("Deleted folder")));
        ASSERT_TRUE(copyall(card, QStringLiteral("Deleted folder"), notes)) << lasterror();
        ASSERT_TRUE(mdeltree(card, QStringLiteral("Deleted folder")));
        // The folder's first cluster goes to a later file: its pieces are orphans.
        const QString later = tmp.filePath(QStringLiteral("later"));
        ASSERT_TRUE(writefile(later, "new\n") && mcopy(card, later, QStringLiteral("NEW.TXT")));
    };
    int orphans[2] = {0, 0};
    for (const bool old : {false, true}) {
        const QString card = tmp.filePath(QStringLiteral("card%1.img").arg(old));
        make(card, old);
        const QString out = tmp.filePath(QStringLiteral("out%1").arg(old));
        const CommandOutcome o = kovrecover({QStringLiteral("--deep"), card, out});
        ASSERT_EQ(o.status, 0) << o.err.constData();
        EXPECT_EQ(o.err.contains("earlier layout: FAT16 (found), 2048 byte clusters"), old) << o.err.constData();
        QMap<QString, QByteArray> own;
        const QMap<QString, QByteArray> tree = outputtree(out);
        for (auto it = tree.begin(); it != tree.end(); ++it)
            if (it.key().startsWith(QLatin1String("lost/orphans/")))
                own.insert(it.key(), it.value());
        orphans[old] = back(own, notes);
        // Nothing of the new folder read with the old geometry.
        for (auto it = tree.begin(); it != tree.end(); ++it)
            EXPECT_FALSE(it.key().startsWith(QLatin1String("lost/earlier-layout-2k/orphans/")))
                << qPrintable(it.key());
    }
    EXPECT_GE(orphans[0], 140);
    EXPECT_EQ(orphans[1], orphans[0]);
}
