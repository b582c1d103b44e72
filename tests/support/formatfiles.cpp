#include "formatfiles.h"

#include "mtoolsimage.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QPdfWriter>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QTimeZone>

namespace testsupport {

namespace {

QByteArray readall(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Prose with accents and a euro sign, different for each seed.
QString prose(int seed, int lines)
{
    QString text;
    for (int i = 0; i < lines; ++i)
        text += QStringLiteral("Ligne %1.%2: le café coûte 3 € à Zürich, naïve façade, déjà vu.\r\n").arg(seed).arg(i);
    return text;
}

QByteArray imagemagick(const QString& workdir, const QString& ext, int seed, const QStringList& more = {})
{
    const QString out = QDir(workdir).filePath(QStringLiteral("im%1.%2").arg(seed).arg(ext));
    const QStringList args = QStringList{QStringLiteral("-seed"), QString::number(seed), QStringLiteral("-size"),
                                         QStringLiteral("240x180"), QStringLiteral("plasma:fractal"),
                                         QStringLiteral("-quality"), QStringLiteral("90")} +
                             more + QStringList{out};
    return runtool(QStringLiteral("convert"), args) ? readall(out) : QByteArray();
}

// Little-endian TIFF words.
void put16(QByteArray& b, int v)
{
    b.append(char(v & 0xFF));
    b.append(char(v >> 8 & 0xFF));
}
void put32(QByteArray& b, quint32 v)
{
    put16(b, int(v & 0xFFFF));
    put16(b, int(v >> 16));
}
void entry(QByteArray& b, int tag, int type, quint32 count, quint32 value)
{
    put16(b, tag);
    put16(b, type);
    put32(b, count);
    put32(b, value);
}

// photo with an APP1 Exif segment after its SOI: IFD0 pointing at the Exif
// IFD (DateTimeOriginal, as a camera writes it) and at IFD1 (the
// thumbnail's offset and length), then the string and the thumbnail.
QByteArray withexif(const QByteArray& photo, const QByteArray& thumbnail, const QDateTime& taken)
{
    QByteArray tiff("II\x2a\x00", 4);
    put32(tiff, 8);
    constexpr quint32 ifd0 = 8, exififd = ifd0 + 18, ifd1 = exififd + 18, text = ifd1 + 30, thumb = text + 20;
    put16(tiff, 1);
    entry(tiff, 0x8769, 4, 1, exififd);
    put32(tiff, ifd1);
    put16(tiff, 1);
    entry(tiff, 0x9003, 2, 20, text);
    put32(tiff, 0);
    put16(tiff, 2);
    entry(tiff, 0x0201, 4, 1, thumb);
    entry(tiff, 0x0202, 4, 1, quint32(thumbnail.size()));
    put32(tiff, 0);
    tiff.append(taken.toString(QStringLiteral("yyyy:MM:dd HH:mm:ss")).toLatin1());
    tiff.append('\0');
    tiff.append(thumbnail);
    const qsizetype length = 2 + 6 + tiff.size();
    if (photo.size() < 2 || length > 0xFFFF)
        return {};
    QByteArray segment("\xFF\xE1", 2);
    segment.append(char(length >> 8));
    segment.append(char(length & 0xFF));
    segment.append("Exif\0\0", 6);
    segment.append(tiff);
    return photo.left(2) + segment + photo.mid(2);
}

// A PDF of Qt's writer: a noise image of width x height drawn on a page.
QByteArray qtpdf(const QString& out, int width, int height, int seed)
{
    QImage noise(width, height, QImage::Format_RGB32);
    QRandomGenerator random{quint32(seed)};
    for (int y = 0; y < noise.height(); ++y)
        for (int x = 0; x < noise.width(); ++x)
            noise.setPixel(x, y, random.generate());
    {
        QPdfWriter writer(out);
        QPainter painter(&writer);
        painter.drawImage(QRect(0, 0, 4000, 3000), noise);
    }
    return readall(out);
}

// pdf with an incremental update after its %%EOF, as an editor appends
// one: a new Info dictionary, a cross-reference section for it naming
// the first as /Prev, and a second %%EOF.
QByteArray withupdate(const QByteArray& pdf)
{
    const QString text = QString::fromLatin1(pdf);
    const QRegularExpressionMatch sx = QRegularExpression(QStringLiteral("startxref\\s+(\\d+)\\s+%%EOF\\s*$")).match(text);
    const QRegularExpressionMatch root = QRegularExpression(QStringLiteral("/Root\\s+(\\d+\\s+\\d+\\s+R)")).match(text);
    const QRegularExpressionMatch size = QRegularExpression(QStringLiteral("/Size\\s+(\\d+)")).match(text);
    if (!sx.hasMatch() || !root.hasMatch() || !size.hasMatch())
        return {};
    const int n = size.captured(1).toInt();
    QByteArray out = pdf;
    const qsizetype object = out.size();
    out += QByteArray::number(n) + " 0 obj\n<< /Producer (second edit) >>\nendobj\n";
    const qsizetype xref = out.size();
    out += "xref\n" + QByteArray::number(n) + " 1\n" + QByteArray::number(object).rightJustified(10, '0') +
           " 00000 n \ntrailer\n<< /Size " + QByteArray::number(n + 1) + " /Root " + root.captured(1).toLatin1() +
           " /Info " + QByteArray::number(n) + " 0 R /Prev " + sx.captured(1).toLatin1() + " >>\nstartxref\n" +
           QByteArray::number(xref) + "\n%%EOF\n";
    return out;
}

}  // namespace

QDateTime exiftime(int seed)
{
    return QDateTime(QDate(2019, 6, 15), QTime(14, 30, 42), QTimeZone::utc()).addSecs(120 * seed);
}

QStringList formatkinds()
{
    return {QStringLiteral("jpg"), QStringLiteral("png"), QStringLiteral("gif"), QStringLiteral("bmp"),
            QStringLiteral("zip"), QStringLiteral("gz"),  QStringLiteral("pdf"), QStringLiteral("wav"),
            QStringLiteral("mp3"), QStringLiteral("avi"), QStringLiteral("mov"), QStringLiteral("mp4"),
            QStringLiteral("doc"), QStringLiteral("txt")};
}

QByteArray formatfile(const QString& kind, const QString& workdir, int seed)
{
    const QDir dir(workdir);
    if (kind == QLatin1String("jpg") || kind == QLatin1String("png") || kind == QLatin1String("gif") ||
        kind == QLatin1String("bmp"))
        return imagemagick(workdir, kind, seed);
    if (kind == QLatin1String("pjpg"))  // progressive
        return imagemagick(workdir, QStringLiteral("jpg"), seed, {QStringLiteral("-interlace"), QStringLiteral("JPEG")});
    if (kind == QLatin1String("heic") || kind == QLatin1String("avif"))
        return imagemagick(workdir, kind, seed);
    if (kind == QLatin1String("txt"))
        return prose(seed, 300).toUtf8();
    if (kind == QLatin1String("utf16")) {  // little-endian with a byte order mark
        QStringEncoder encoder(QStringEncoder::Utf16LE, QStringEncoder::Flag::WriteBom);
        return encoder.encode(prose(seed, 300));
    }
    if (kind == QLatin1String("cp1252")) {
        QStringEncoder encoder("windows-1252");
        return encoder.isValid() ? QByteArray(encoder.encode(prose(seed, 300))) : QByteArray();
    }
    if (kind == QLatin1String("zip") || kind == QLatin1String("zip64")) {
        // Several members, stored and deflated.
        const QString a = dir.filePath(QStringLiteral("z%1.txt").arg(seed));
        const QByteArray picture = imagemagick(workdir, QStringLiteral("png"), seed + 1000);
        const QString b = dir.filePath(QStringLiteral("z%1.png").arg(seed));
        const QString out = dir.filePath(QStringLiteral("z%1.%2").arg(seed).arg(kind));
        if (picture.isNull() || !writefile(a, prose(seed, 200).toUtf8()) || !writefile(b, picture))
            return {};
        const QStringList options = kind == QLatin1String("zip64") ? QStringList{QStringLiteral("-fz")} : QStringList{};
        return runtool(QStringLiteral("zip"),
                       options + QStringList{QStringLiteral("-q"), QStringLiteral("-X"), QStringLiteral("-j"), out, a, b})
                   ? readall(out)
                   : QByteArray();
    }
    if (kind == QLatin1String("gz")) {
        // Pixels compress badly, so the member spans several clusters.
        const QString in = dir.filePath(QStringLiteral("g%1.bmp").arg(seed));
        const QByteArray pixels = imagemagick(workdir, QStringLiteral("bmp"), seed + 2000);
        QByteArray out;
        if (pixels.isNull() || !writefile(in, pixels) ||
            !runtool(QStringLiteral("gzip"), {QStringLiteral("-c"), QStringLiteral("-n"), in}, &out))
            return {};
        return out;
    }
    if (kind == QLatin1String("pdf"))
        return qtpdf(dir.filePath(QStringLiteral("d%1.pdf").arg(seed)), 160, 120, seed);
    if (kind == QLatin1String("pdfupdate") || kind == QLatin1String("bigpdf")) {
        const bool big = kind == QLatin1String("bigpdf");
        const QByteArray pdf = qtpdf(dir.filePath(QStringLiteral("u%1.pdf").arg(seed)), big ? 2400 : 160, big ? 2000 : 120, seed);
        return pdf.isNull() ? pdf : withupdate(pdf);
    }
    if (kind == QLatin1String("m2ts") || kind == QLatin1String("bigm2ts")) {
        // A camera's clip: H.264 in 192-byte packets, over 8 MiB when big.
        const QString out = dir.filePath(QStringLiteral("c%1.mts").arg(seed));
        const bool big = kind == QLatin1String("bigm2ts");
        const QStringList args{QStringLiteral("-q"), QStringLiteral("videotestsrc"),
                               QStringLiteral("num-buffers=%1").arg(big ? 120 : 12), QStringLiteral("pattern=snow"),
                               QStringLiteral("!"), QStringLiteral("video/x-raw,width=640,height=480,framerate=30/1"),
                               QStringLiteral("!"), QStringLiteral("openh264enc"), QStringLiteral("bitrate=20000000"),
                               QStringLiteral("!"), QStringLiteral("h264parse"), QStringLiteral("!"),
                               QStringLiteral("mpegtsmux"), QStringLiteral("m2ts-mode=true"), QStringLiteral("!"),
                               QStringLiteral("filesink"), QStringLiteral("location=") + out};
        return runtool(QStringLiteral("gst-launch-1.0"), args) ? readall(out) : QByteArray();
    }
    if (kind == QLatin1String("bigdoc")) {
        // An OLE2 file of several MiB: its FAT spans DIFAT-free sectors, its
        // large stream chains through thousands of sectors.
        const QString streams = dir.filePath(QStringLiteral("big%1").arg(seed));
        const QString out = dir.filePath(QStringLiteral("b%1.doc").arg(seed));
        QByteArray text;
        while (text.size() < (6 << 20))
            text += prose(seed + int(text.size()), 200).toUtf8();
        if (!QDir().mkpath(streams) || !writefile(streams + QStringLiteral("/WordDocument"), text) ||
            !writefile(streams + QStringLiteral("/SummaryInformation"), prose(seed, 3).toUtf8()))
            return {};
        return runtool(QStringLiteral("gsf"), {QStringLiteral("createole"), out, streams}) ? readall(out) : QByteArray();
    }
    if (kind == QLatin1String("wav") || kind == QLatin1String("mp3")) {
        const QString wav = dir.filePath(QStringLiteral("s%1.wav").arg(seed));
        const QStringList args{QStringLiteral("-n"), QStringLiteral("-r"), QStringLiteral("8000"), QStringLiteral("-c"),
                               QStringLiteral("1"), QStringLiteral("-b"), QStringLiteral("16"), wav,
                               QStringLiteral("synth"), QStringLiteral("2"), QStringLiteral("sine"),
                               QString::number(200 + 10 * seed)};
        if (!runtool(QStringLiteral("sox"), args))
            return {};
        if (kind == QLatin1String("wav"))
            return readall(wav);
        const QString mp3 = dir.filePath(QStringLiteral("s%1.mp3").arg(seed));
        return runtool(QStringLiteral("lame"), {QStringLiteral("--quiet"), QStringLiteral("-b"), QStringLiteral("64"), wav, mp3})
                   ? readall(mp3)
                   : QByteArray();
    }
    if (kind == QLatin1String("mp3id3")) {  // with an ID3v2 tag in front
        const QString wav = dir.filePath(QStringLiteral("t%1.wav").arg(seed));
        const QString mp3 = dir.filePath(QStringLiteral("t%1.mp3").arg(seed));
        const QStringList args{QStringLiteral("-n"), QStringLiteral("-r"), QStringLiteral("22050"), QStringLiteral("-c"),
                               QStringLiteral("1"), wav, QStringLiteral("synth"), QStringLiteral("3"),
                               QStringLiteral("sine"), QString::number(300 + 10 * seed)};
        return runtool(QStringLiteral("sox"), args) &&
                       runtool(QStringLiteral("lame"), {QStringLiteral("--quiet"), QStringLiteral("--add-id3v2"),
                                                        QStringLiteral("--tt"), QStringLiteral("tone %1").arg(seed),
                                                        QStringLiteral("-b"), QStringLiteral("64"), wav, mp3})
                   ? readall(mp3)
                   : QByteArray();
    }
    if (kind == QLatin1String("exifjpg")) {
        // A camera's photo: ImageMagick's JPEG with an Exif segment holding
        // DateTimeOriginal (exiftime(seed)) and a thumbnail, itself a JPEG.
        const QByteArray photo = imagemagick(workdir, QStringLiteral("jpg"), seed);
        QByteArray thumbnail;
        if (photo.isNull() || !runtool(QStringLiteral("convert"),
                                       {QStringLiteral("-seed"), QString::number(seed), QStringLiteral("-size"),
                                        QStringLiteral("160x120"), QStringLiteral("plasma:fractal"),
                                        QStringLiteral("jpg:-")},
                                       &thumbnail))
            return {};
        return withexif(photo, thumbnail, exiftime(seed));
    }
    if (kind == QLatin1String("avi") || kind == QLatin1String("mov") || kind == QLatin1String("mp4")) {
        // GStreamer's own muxers: Motion-JPEG frames in AVI and QuickTime,
        // MP3 audio in MP4.
        const QString out = dir.filePath(QStringLiteral("v%1.%2").arg(seed).arg(kind));
        const QStringList video{QStringLiteral("videotestsrc"), QStringLiteral("num-buffers=12"),
                                QStringLiteral("pattern=%1").arg(seed % 20), QStringLiteral("!"),
                                QStringLiteral("video/x-raw,width=96,height=64"), QStringLiteral("!"),
                                QStringLiteral("jpegenc"), QStringLiteral("!")};
        const QStringList audio{QStringLiteral("audiotestsrc"), QStringLiteral("num-buffers=200"),
                                QStringLiteral("freq=%1").arg(300 + 20 * seed), QStringLiteral("!"),
                                QStringLiteral("lamemp3enc"), QStringLiteral("!")};
        const QString mux = kind == QLatin1String("avi") ? QStringLiteral("avimux")
                            : kind == QLatin1String("mov") ? QStringLiteral("qtmux")
                                                           : QStringLiteral("mp4mux");
        const QStringList args = QStringList{QStringLiteral("-q")} + (kind == QLatin1String("mp4") ? audio : video) +
                                 QStringList{mux, QStringLiteral("!"), QStringLiteral("filesink"),
                                             QStringLiteral("location=") + out};
        return runtool(QStringLiteral("gst-launch-1.0"), args) ? readall(out) : QByteArray();
    }
    if (kind == QLatin1String("doc")) {
        // An OLE2 compound file written by libgsf, with a large and a small
        // stream (the mini stream).
        const QString streams = dir.filePath(QStringLiteral("ole%1").arg(seed));
        const QString out = dir.filePath(QStringLiteral("o%1.doc").arg(seed));
        if (!QDir().mkpath(streams) ||
            !writefile(streams + QStringLiteral("/WordDocument"), prose(seed, 400).toUtf8()) ||
            !writefile(streams + QStringLiteral("/SummaryInformation"), prose(seed, 3).toUtf8()))
            return {};
        return runtool(QStringLiteral("gsf"), {QStringLiteral("createole"), out, streams}) ? readall(out) : QByteArray();
    }
    return {};
}

}  // namespace testsupport
