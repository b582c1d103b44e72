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

INSTANTIATE_TEST_SUITE_P(Formats, CarveExtent,
                         ::testing::Values("jpg", "pjpg", "exifjpg", "png", "gif", "bmp", "zip", "zip64", "gz", "pdf",
                                           "wav", "mp3id3", "avi", "mov", "mp4", "doc", "heic"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
