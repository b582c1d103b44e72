// fuzz_verify_seeds DIR: writes the seed corpus of the content-check fuzz
// targets, the real files the format tests use (tests/support/formatfiles:
// made by ImageMagick, zip, gzip, Qt's PDF writer, sox, lame, GStreamer and
// libgsf), into DIR/<family>/, one folder per target. A kind whose tool is
// missing is left out with a note; no file at all is a failure.
#include "support/formatfiles.h"
#include "support/mtoolsimage.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHash>
#include <QTemporaryDir>

#include <cstdio>

using namespace testsupport;

namespace {

// The target (family) of each kind of file.
QString familyof(const QString& kind)
{
    static const QHash<QString, QString> families{
        {QStringLiteral("jpg"), QStringLiteral("jpeg")},  {QStringLiteral("pjpg"), QStringLiteral("jpeg")},
        {QStringLiteral("gz"), QStringLiteral("gzip")},   {QStringLiteral("zip64"), QStringLiteral("zip")},
        {QStringLiteral("wav"), QStringLiteral("riff")},  {QStringLiteral("avi"), QStringLiteral("riff")},
        {QStringLiteral("mov"), QStringLiteral("mp4")},   {QStringLiteral("heic"), QStringLiteral("mp4")},
        {QStringLiteral("avif"), QStringLiteral("mp4")},  {QStringLiteral("doc"), QStringLiteral("ole2")},
        {QStringLiteral("txt"), QStringLiteral("text")},  {QStringLiteral("cp1252"), QStringLiteral("text")},
        {QStringLiteral("utf16"), QStringLiteral("text")},
    };
    return families.value(kind, kind);
}

}  // namespace

int main(int argc, char** argv)
{
    // Qt's PDF writer needs a Gui application; no display is used.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_verify_seeds DIR\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    QTemporaryDir work;
    int written = 0;
    const QStringList kinds = formatkinds() + QStringList{QStringLiteral("cp1252"), QStringLiteral("pjpg"),
                                                          QStringLiteral("zip64"), QStringLiteral("heic"),
                                                          QStringLiteral("avif"), QStringLiteral("utf16")};
    for (const QString& kind : kinds) {
        const QString family = familyof(kind);
        if (!out.mkpath(family))
            return 1;
        for (int seed = 1; seed <= 2; ++seed) {
            const QByteArray data = formatfile(kind, work.path(), seed);
            if (data.isNull()) {
                std::fprintf(stderr, "no %s seed: %s\n", qPrintable(kind), lasterror().c_str());
                continue;
            }
            QFile file(out.filePath(QStringLiteral("%1/%2-%3").arg(family, kind).arg(seed)));
            if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size())
                return 1;
            ++written;
        }
    }
    // The real cameras' samples of the test data, for the camera families.
    static const QHash<QString, QString> bysuffix{
        {QStringLiteral("tif"), QStringLiteral("tiff")}, {QStringLiteral("cr2"), QStringLiteral("tiff")},
        {QStringLiteral("nef"), QStringLiteral("tiff")}, {QStringLiteral("dng"), QStringLiteral("tiff")},
        {QStringLiteral("rw2"), QStringLiteral("tiff")}, {QStringLiteral("iiq"), QStringLiteral("tiff")},
        {QStringLiteral("raf"), QStringLiteral("raf")},  {QStringLiteral("crw"), QStringLiteral("crw")},
        {QStringLiteral("mts"), QStringLiteral("ts")},   {QStringLiteral("cr3"), QStringLiteral("mp4")},
    };
    const QDir samples(QStringLiteral(KOV_CAMERA_SAMPLES));
    for (const QFileInfo& sample : samples.entryInfoList(QDir::Files)) {
        const QString family = bysuffix.value(sample.suffix().toLower());
        if (family.isEmpty())
            continue;
        if (!out.mkpath(family) || !QFile::copy(sample.filePath(), out.filePath(family + QLatin1Char('/') + sample.fileName())))
            return 1;
        ++written;
    }
    std::printf("%d seeds\n", written);
    return written > 0 ? 0 : 1;
}
