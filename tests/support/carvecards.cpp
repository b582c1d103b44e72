#include "carvecards.h"

#include "mtoolsimage.h"

#include <QDir>

namespace testsupport {

QByteArray restartjpeg(const QString& workdir, int seed, int width, int height)
{
    const QDir dir(workdir);
    const QString pixels = dir.filePath(QStringLiteral("rst%1.ppm").arg(seed));
    QByteArray jpeg;
    if (!runtool(QStringLiteral("convert"), {QStringLiteral("-seed"), QString::number(seed), QStringLiteral("-size"),
                                             QStringLiteral("%1x%2").arg(width).arg(height),
                                             QStringLiteral("plasma:fractal"), QStringLiteral("ppm:") + pixels}) ||
        !runtool(QStringLiteral("cjpeg"),
                 {QStringLiteral("-quality"), QStringLiteral("90"), QStringLiteral("-restart"), QStringLiteral("1"), pixels},
                 &jpeg))
        return {};
    return jpeg;
}

QList<qsizetype> restartends(const QByteArray& jpeg)
{
    QList<qsizetype> ends;
    for (qsizetype i = 0; i + 1 < jpeg.size(); ++i)
        if (uchar(jpeg[i]) == 0xFF && uchar(jpeg[i + 1]) >= 0xD0 && uchar(jpeg[i + 1]) <= 0xD7)
            ends.append(i + 2);
    return ends;
}

QByteArray fillrestart(const QByteArray& jpeg, int index, qsizetype end)
{
    const QList<qsizetype> ends = restartends(jpeg);
    if (index < 0 || index >= ends.size() || ends[index] > end)
        return {};
    QByteArray filled = jpeg;
    filled.insert(ends[index] - 2, QByteArray(end - ends[index], char(0xFF)));
    return filled;
}

QByteArray withforeignclusters(const QByteArray& file, const QByteArray& foreign, int at, int clustersize)
{
    const qsizetype head = qsizetype(at) * clustersize;
    const qsizetype tail = file.size() - head - 2 * qsizetype(clustersize);
    if (tail <= 0 || foreign.size() < 2 * clustersize)
        return {};
    return file.left(head) + foreign.mid(clustersize, 2 * clustersize) + file.mid(head, tail);
}

}  // namespace testsupport
