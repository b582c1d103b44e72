// kov-recover on an exFAT card written through the FUSE driver, nine files
// deleted around live ones, then one fault patched in: each must still give
// the deleted files back (or drop exactly the one file the fault makes
// junk), say on stderr what it passed over, and save no live file again.
#include "support/exfatimage.h"
#include "support/fatbuilder.h"
#include "support/kovrecoverrun.h"
#include "support/mtoolsimage.h"
#include "support/skip.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>
#include <map>

using namespace testsupport;

namespace {

QString livename(int i) { return QString("kept file number %1.txt").arg(i, 2, 10, QChar('0')); }
QString gonename(int i) { return QString("deleted file number %1.bin").arg(i, 2, 10, QChar('0')); }
// The live file whose set lies between the fifth and the sixth deleted one.
const QString marker = "the live marker.txt";

struct DamageCase {
    const char* name;
    bool deep;
    // Patches the card; returns the deleted file the fault turns to junk
    // (-1: none), which must not come back.
    std::function<int(ExfatPatch&)> patch;
    const char* note;  // part of what stderr must say; "" nothing asked
};

void PrintTo(const DamageCase& c, std::ostream* os) { *os << c.name; }

class ExfatDamagedCard : public ::testing::TestWithParam<DamageCase> {
protected:
    // Thirty live files fill most of the root's first cluster, so that
    // the deleted sets run on into its second, which only the FAT chain
    // reaches.
    static void SetUpTestSuite()
    {
        if (!dir.isValid() || !makeexfat(dir.filePath("card.img"), 16u << 20, 4096))
            return;
        ExfatMount m(dir.filePath("card.img"));
        if (!m.ok()) {
            why = m.why();
            return;
        }
        for (int i = 0; i < 30; ++i)
            if (!m.write(livename(i), patterndata(1000 + 97 * i, 10 + i)))
                return;
        for (int i = 0; i < 9; ++i) {
            deleted[gonename(i)] = patterndata(700 + 3001 * i, 100 + i);
            if (!m.write(gonename(i), deleted[gonename(i)]) || (i == 4 && !m.write(marker, patterndata(5000, 7))))
                return;
        }
        for (const auto& [name, data] : deleted)
            if (!m.remove(name))
                return;
        made = m.unmount();
    }

    static QTemporaryDir dir;
    static QString why;
    static bool made;
    static std::map<QString, QByteArray> deleted;
};

QTemporaryDir ExfatDamagedCard::dir;
QString ExfatDamagedCard::why = "the card could not be made";
bool ExfatDamagedCard::made = false;
std::map<QString, QByteArray> ExfatDamagedCard::deleted;

TEST_P(ExfatDamagedCard, GivesTheDeletedFilesBackAndSaysWhatItPassedOver)
{
    if (!made) {
        KOV_SKIP() << why.toStdString();
    }
    const QString image = dir.filePath(QString("%1.img").arg(GetParam().name));
    ASSERT_TRUE(QFile::copy(dir.filePath("card.img"), image));
    ExfatPatch p(image);
    ASSERT_TRUE(p.ok());
    const int junk = GetParam().patch(p);
    ASSERT_TRUE(p.save());

    const QString out = dir.filePath(QString("%1-out").arg(GetParam().name));
    const CommandOutcome run = kovrecover(GetParam().deep ? QStringList{"--deep", image, out} : QStringList{image, out});
    EXPECT_EQ(run.status, 0) << run.err.toStdString();
    std::map<QString, QByteArray> want = deleted;
    if (junk >= 0)
        want.erase(gonename(junk));
    EXPECT_EQ(filetree(out), want) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains(GetParam().note)) << run.err.toStdString();
}

// The stream extension of a set at offset, checksum made right again for
// a deleted set.
void patchstream(ExfatPatch& p, std::uint64_t set, const std::function<void(unsigned char*)>& change)
{
    change(p.at(set + 32));
    *p.at(set) |= 0x80;
    p.fixchecksum(set);
    *p.at(set) &= 0x7F;
}

const DamageCase damagecases[] = {
    {"ZeroedLiveFileEntry", false,
     [](ExfatPatch& p) {
         std::fill(p.at(p.findset(marker)), p.at(p.findset(marker) + 32), 0);
         return -1;
     },
     "a zeroed entry"},
    {"ChecksumSectorWrongInBothRegions", false,
     [](ExfatPatch& p) {
         *p.at(11 * 512) ^= 1;
         *p.at(23 * 512) ^= 1;
         return -1;
     },
     "fail their checksum"},
    {"TwoFatsActiveSecondOneBitmap", false,
     [](ExfatPatch& p) {
         // The second FAT's room (zeros) lies between the first and the heap.
         for (int region = 0; region < 2; ++region) {
             *p.at(region * 12 * 512 + 110) = 2;
             *p.at(region * 12 * 512 + 106) |= 1;
             p.fixbootchecksum(region);
         }
         return -1;
     },
     "one allocation bitmap"},
    {"ValidLengthZeroOnALiveFilesCluster", false,
     [](ExfatPatch& p) {
         const std::uint32_t live = get32(p.at(p.findset(livename(5)) + 52));
         patchstream(p, p.findset(gonename(3)), [&](unsigned char* stream) {
             put32(stream + 8, 0);
             put32(stream + 12, 0);
             put32(stream + 20, live);
         });
         return 3;
     },
     "is in use"},
    {"DeepScanWithTheBitmapWiped", true,
     [](ExfatPatch& p) {
         for (std::uint32_t c = 2; c < p.heapclusters() + 2; ++c)
             p.setbit(c, false);
         return -1;
     },
     ""},
};

INSTANTIATE_TEST_SUITE_P(Faults, ExfatDamagedCard, ::testing::ValuesIn(damagecases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
