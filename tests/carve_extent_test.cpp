// Where carving finds a real file's end when the bytes go on past it, as
// they do on a volume: the clusters after a file hold zeros, an older
// file's bytes, or the next file from the next cluster on.
#include "support/formatfiles.h"
#include "support/mtoolsimage.h"
#include "support/skip.h"

#include "carve/signatures.h"
#include "verify/verify.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace testsupport;

namespace {

constexpr int cluster = 4096;

QByteArray junk(qsizetype size, quint32 seed)
{
    QByteArray out(size, Qt::Uninitialized);
    QRandomGenerator random{seed};
    for (char& c : out)
        c = char(random.generate());
    return out;
}

verify::bytes view(const QByteArray& b) { return {reinterpret_cast<const unsigned char*>(b.constData()), std::size_t(b.size())}; }

class CarveExtent : public ::testing::TestWithParam<const char*> {
protected:
    QTemporaryDir work;
    QByteArray whole;
    QByteArray next;  // another file of the kind
    verify::family kind = verify::family::none;

    void SetUp() override
    {
        whole = formatfile(QString::fromLatin1(GetParam()), work.path(), 1);
        next = formatfile(QString::fromLatin1(GetParam()), work.path(), 2);
        if (whole.isNull() || next.isNull())
            KOV_SKIP() << "cannot make a " << GetParam() << " file: " << lasterror();
        kind = carve::startfamily(view(whole.left(carve::headbytes)));
    }
    verify::EXTENT extentof(const QByteArray& bytes) const { return verify::extent(kind, view(bytes), cluster); }
};

TEST_P(CarveExtent, EndsWhereTheFileEndsWhateverFollows)
{
    ASSERT_NE(kind, verify::family::none) << "not told as a start";
    ASSERT_EQ(verify::check(kind, view(whole), cluster), verify::verdict::verified);
    const qsizetype slack = (cluster - whole.size() % cluster) % cluster;
    const QByteArray zeros(2 * cluster, '\0');
    const std::pair<const char*, QByteArray> cases[] = {
        {"zeros", whole + zeros},
        {"an older file's bytes", whole + junk(3 * cluster, 5)},
        {"slack, then the next file at the next cluster", whole + junk(slack, 6) + next + zeros},
        {"zeros, then the next file at the next cluster", whole + QByteArray(slack, '\0') + next + zeros},
    };
    for (const auto& [what, bytes] : cases) {
        const verify::EXTENT found = extentof(bytes);
        EXPECT_EQ(found.v, verify::verdict::verified) << what;
        EXPECT_EQ(found.end, std::size_t(whole.size())) << what;
    }
}

TEST_P(CarveExtent, CutShortWantsMore)
{
    const QByteArray cut = whole.left(whole.size() * 3 / 5);
    const verify::EXTENT found = extentof(cut);
    EXPECT_GT(found.want, std::size_t(cut.size()));
    EXPECT_FALSE(found.v == verify::verdict::verified && found.want == 0);
}

// A Samsung phone's trailer after the EOI: a block (its header, name and
// data), then the directory "SEFH" naming it, the directory's length and
// "SEFT". The photo ends with the trailer, wherever the window ends.
TEST(CarveExtentSamsung, PhotoEndsAfterItsTrailer)
{
    QTemporaryDir work;
    const QByteArray photo = formatfile(QStringLiteral("jpg"), work.path(), 3);
    if (photo.isNull())
        KOV_SKIP() << "needs ImageMagick: " << lasterror();
    const auto le32 = [](quint32 v) { return QByteArray(reinterpret_cast<const char*>(&v), 4); };
    const QByteArray block = QByteArray("\0\0\x01\x0a", 4) + le32(14) + "Image_UTC_Data" + "1526564937463";
    const QByteArray directory = "SEFH" + le32(0x6a) + le32(1) + QByteArray("\0\0\x01\x0a", 4) +
                                 le32(quint32(block.size())) + le32(quint32(block.size()));
    const QByteArray whole = photo + block + directory + le32(quint32(directory.size())) + "SEFT";
    ASSERT_EQ(verify::check(verify::family::jpeg, view(whole), cluster), verify::verdict::verified);
    const qsizetype slack = (cluster - whole.size() % cluster) % cluster;
    for (const QByteArray& after : {QByteArray(2 * cluster, '\0'), junk(slack, 4) + photo}) {
        const verify::EXTENT found = verify::extent(verify::family::jpeg, view(whole + after), cluster);
        EXPECT_EQ(found.v, verify::verdict::verified);
        EXPECT_EQ(found.end, std::size_t(whole.size()));
    }
    // Carved, the trailer is not proven by the image's decode: when a cluster
    // begins in it, the photo is plausible; when it shares the image's last
    // cluster, verified.
    EXPECT_EQ(verify::carvedverdict(verify::family::jpeg, view(whole), std::uint32_t(photo.size())),
              verify::verdict::plausible);
    EXPECT_EQ(verify::carvedverdict(verify::family::jpeg, view(whole), std::uint32_t(whole.size())),
              verify::verdict::verified);
    // The window ends inside the trailer: more bytes are wanted.
    const QByteArray cut = whole.left(photo.size() + block.size());
    EXPECT_GT(verify::extent(verify::family::jpeg, view(cut), cluster).want, std::size_t(cut.size()));
}

INSTANTIATE_TEST_SUITE_P(Formats, CarveExtent,
                         ::testing::Values("jpg", "pjpg", "exifjpg", "png", "gif", "bmp", "zip", "zip64", "gz", "pdf",
                                           "wav", "mp3id3", "avi", "mov", "mp4", "doc", "heic"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
