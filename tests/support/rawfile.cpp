#include "support/rawfile.h"

#include "support/mtoolsimage.h"

#include <QDateTime>
#include <QTimeZone>
#include <QDir>
#include <QList>
#include <QRandomGenerator>

#include <algorithm>

namespace testsupport {

namespace {

// A TIFF file written front to back: IFDs with their values, then data
// blocks, with the offsets patched in once known.
class TIFFOUT {
public:
    explicit TIFFOUT(bool bigendian) : big(bigendian) {}

    struct FIELD {
        int tag;
        int type;  // 2 ASCII, 3 SHORT, 4 LONG, 5 RATIONAL, 1 BYTE, 7 UNDEFINED
        quint32 count;
        QByteArray value;  // in the file's byte order
    };

    QByteArray out;
    bool big;

    QByteArray w16(quint32 v) const
    {
        QByteArray b(2, '\0');
        b[big ? 1 : 0] = char(v & 0xFF);
        b[big ? 0 : 1] = char(v >> 8 & 0xFF);
        return b;
    }
    QByteArray w32(quint32 v) const { return big ? w16(v >> 16) + w16(v & 0xFFFF) : w16(v & 0xFFFF) + w16(v >> 16); }
    FIELD shorts(int tag, QList<quint32> v) const
    {
        QByteArray b;
        for (quint32 x : v)
            b += w16(x);
        return {tag, 3, quint32(v.size()), b};
    }
    FIELD longs(int tag, QList<quint32> v) const
    {
        QByteArray b;
        for (quint32 x : v)
            b += w32(x);
        return {tag, 4, quint32(v.size()), b};
    }
    FIELD ascii(int tag, const QByteArray& s) const { return {tag, 2, quint32(s.size() + 1), s + '\0'}; }
    FIELD rational(int tag, quint32 n, quint32 d) const { return {tag, 5, 1, w32(n) + w32(d)}; }
    FIELD bytes(int tag, int type, const QByteArray& b) const { return {tag, type, quint32(b.size()), b}; }

    void align()
    {
        if (out.size() % 2)
            out.append('\0');
    }
    void patch(qsizetype at, quint32 v) { out.replace(at, 4, w32(v)); }

    // Writes an IFD and its values; the offset of the IFD. *where (when
    // given) gets, per tag, where its first value lies (its entry's value
    // field, or the array outside), for patching.
    quint32 ifd(QList<FIELD> fields, QHash<int, qsizetype>* where = nullptr)
    {
        align();
        std::sort(fields.begin(), fields.end(), [](const FIELD& a, const FIELD& b) { return a.tag < b.tag; });
        const quint32 at = quint32(out.size());
        out += w16(quint32(fields.size()));
        qsizetype values = at + 2 + 12 * fields.size() + 4;
        QByteArray tail;
        for (const FIELD& f : fields) {
            out += w16(quint32(f.tag)) + w16(quint32(f.type)) + w32(f.count);
            if (f.value.size() <= 4) {
                if (where)
                    where->insert(f.tag, out.size());
                out += f.value + QByteArray(4 - f.value.size(), '\0');
            } else {
                if (where)
                    where->insert(f.tag, values + tail.size());
                out += w32(quint32(values + tail.size()));
                tail += f.value;
                if (tail.size() % 2)
                    tail.append('\0');
            }
        }
        next = out.size();
        out += w32(0) + tail;
        return at;
    }
    // Where the last IFD's next pointer lies.
    qsizetype next = 0;

    quint32 data(const QByteArray& d)
    {
        align();
        const quint32 at = quint32(out.size());
        out += d;
        return at;
    }
};

QByteArray convert(const QString& workdir, int seed, const QString& size)
{
    const QString out = QDir(workdir).filePath(QStringLiteral("raw%1-%2.jpg").arg(seed).arg(size));
    // Plasma is slow at full size: drawn at a quarter, then scaled up.
    const QStringList wh = size.split(QLatin1Char('x'));
    const QString small = QStringLiteral("%1x%2").arg(wh[0].toInt() / 4).arg(wh[1].toInt() / 4);
    if (!runtool(QStringLiteral("convert"), {QStringLiteral("-seed"), QString::number(seed), QStringLiteral("-size"), small,
                                             QStringLiteral("plasma:fractal"), QStringLiteral("-resize"), size + QLatin1Char('!'),
                                             QStringLiteral("-quality"), QStringLiteral("92"), out}))
        return {};
    QFile f(out);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QByteArray noise(std::uint32_t bytes, int seed)
{
    QByteArray out(qsizetype(bytes), Qt::Uninitialized);
    QRandomGenerator random{quint32(seed) * 7919u + 1};
    random.fillRange(reinterpret_cast<quint32*>(out.data()), out.size() / 4);
    return out;
}

// The EXIF IFD's fields: the shot's time and the camera's serial.
QList<TIFFOUT::FIELD> exiffields(const TIFFOUT& t, int seed)
{
    const QDateTime when = QDateTime(QDate(2021, 5, 1), QTime(10, 0), QTimeZone::utc()).addSecs(3 * seed);
    return {t.ascii(0x9003, when.toString(QStringLiteral("yyyy:MM:dd HH:mm:ss")).toLatin1()),
            t.ascii(0x9291, "42"), t.ascii(0xA431, "083021001234"), t.rational(0x829A, 1, 250)};
}

}  // namespace

RAWSHOT rawshot(const QString& kind, const QString& workdir, int seed, std::uint32_t rawbytes)
{
    const QByteArray preview = convert(workdir, seed, QStringLiteral("1440x960"));
    const QByteArray thumbnail = convert(workdir, seed, QStringLiteral("160x120"));
    const QByteArray photo = convert(workdir, seed + 100000, QStringLiteral("1200x800"));
    if (preview.isNull() || thumbnail.isNull() || photo.isNull())
        return {};
    const QByteArray raw = noise(rawbytes, seed);
    const bool dng = kind == QLatin1String("dng");
    const bool nef = kind == QLatin1String("nef");
    const QByteArray make = dng || kind == QLatin1String("cr2") ? "Canon" : "NIKON CORPORATION";
    const QByteArray model = make == "Canon" ? "Canon EOS 5D Mark II" : "NIKON D800";
    TIFFOUT t(dng);
    t.out = dng ? QByteArray("MM\0*", 4) + t.w32(0) : QByteArray("II*\0", 4) + t.w32(0);
    if (kind == QLatin1String("cr2"))
        t.out += QByteArray("CR\x02\0", 4) + t.w32(0);
    t.patch(4, quint32(t.out.size()));
    const QByteArray rgb = noise(160 * 120 * 3, seed + 7);
    QHash<int, qsizetype> ifd0, first, second, third;
    const auto strip = [&t](QList<TIFFOUT::FIELD> f, int compression, int photometric) {
        f += {t.shorts(259, {quint32(compression)}), t.longs(273, {0}), t.longs(279, {0})};
        if (photometric)
            f += t.shorts(262, {quint32(photometric)});
        return f;
    };
    QList<TIFFOUT::FIELD> zero{t.ascii(271, make), t.ascii(272, model), t.longs(34665, {0}),
                               t.ascii(306, "2021:05:01 10:00:00")};
    if (dng)
        zero += t.bytes(50706, 1, QByteArray("\1\4\0\0", 4));
    if (kind == QLatin1String("cr2")) {
        // IFD0 the preview, IFD1 the thumbnail, IFD2 left out, IFD3 the raw strip.
        t.ifd(strip(zero + QList<TIFFOUT::FIELD>{t.longs(256, {1440}), t.longs(257, {960})}, 6, 0), &ifd0);
        const qsizetype link0 = t.next;
        const quint32 one = t.ifd({t.longs(513, {0}), t.longs(514, {quint32(thumbnail.size())})}, &first);
        t.patch(link0, one);
        const qsizetype link1 = t.next;
        const quint32 three = t.ifd(strip({t.longs(256, {5632}), t.longs(257, {3750}), t.shorts(0xC5D8, {1})}, 6, 0), &third);
        t.patch(link1, three);
        t.patch(12, three);
    } else {
        zero += {t.longs(254, {1}), t.longs(256, {160}), t.longs(257, {120}), t.shorts(258, {8, 8, 8}),
                 t.shorts(277, {3}), t.longs(330, {0, 0})};
        t.ifd(strip(zero, 1, 2), &ifd0);
        const QList<TIFFOUT::FIELD> rawifd{t.longs(254, {0}), t.longs(256, {7360}), t.longs(257, {4912}),
                                           t.shorts(258, {14}), t.shorts(277, {1})};
        const quint32 a = t.ifd(strip(rawifd, nef ? 34713 : 1, 32803), &second);
        const quint32 b = nef ? t.ifd({t.longs(254, {1}), t.longs(513, {0}), t.longs(514, {quint32(preview.size())})}, &first)
                              : t.ifd(strip({t.longs(254, {1}), t.longs(256, {1440}), t.longs(257, {960}),
                                             t.shorts(258, {8, 8, 8}), t.shorts(277, {3})},
                                            7, 6),
                                      &first);
        t.patch(ifd0.value(330), nef ? b : a);
        t.patch(ifd0.value(330) + 4, nef ? a : b);
    }
    QHash<int, qsizetype> exif;
    t.patch(ifd0.value(34665), t.ifd(exiffields(t, seed), &exif));
    // The data: previews first, the raw strip last.
    if (kind == QLatin1String("cr2")) {
        t.patch(ifd0.value(273), t.data(preview));
        t.patch(ifd0.value(279), quint32(preview.size()));
        t.patch(first.value(513), t.data(thumbnail));
        t.patch(third.value(273), t.data(raw));
        t.patch(third.value(279), rawbytes);
    } else {
        t.patch(ifd0.value(273), t.data(rgb));
        t.patch(ifd0.value(279), quint32(rgb.size()));
        if (nef) {
            t.patch(first.value(513), t.data(preview));
        } else {
            t.patch(first.value(273), t.data(preview));
            t.patch(first.value(279), quint32(preview.size()));
        }
        t.patch(second.value(273), t.data(raw));
        t.patch(second.value(279), rawbytes);
    }
    RAWSHOT shot;
    shot.raw = t.out;
    // The camera's JPEG: an APP1 Exif segment after SOI with IFD0's make
    // and model and the same EXIF IFD.
    TIFFOUT e(false);
    e.out = QByteArray("II*\0", 4) + e.w32(8);
    QHash<int, qsizetype> e0;
    e.ifd({e.ascii(271, make), e.ascii(272, model), e.longs(34665, {0})}, &e0);
    e.patch(e0.value(34665), e.ifd(exiffields(e, seed)));
    const QByteArray app1 = QByteArray("Exif\0\0", 6) + e.out;
    QByteArray segment("\xFF\xE1", 2);
    segment.append(char((app1.size() + 2) >> 8));
    segment.append(char((app1.size() + 2) & 0xFF));
    shot.jpeg = photo.left(2) + segment + app1 + photo.mid(2);
    return shot;
}

}  // namespace testsupport
