// The pieces of the cards that try to make carving save wrong bytes as
// good: JPEGs with restart markers (ImageMagick's pixels through cjpeg
// -restart) padded with 0xFF fill so that a marker ends where a cluster
// does, and the bytes of files laid out on a card's free clusters in the
// order a fragmented file or a splice leaves them.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace testsupport {

// A baseline JPEG of width x height pixels (plasma:fractal of seed) with a
// restart marker after every row of MCUs; null when a tool fails
// (lasterror()).
QByteArray restartjpeg(const QString& workdir, int seed, int width, int height);

// The offsets just past each restart marker of jpeg, in order.
QList<qsizetype> restartends(const QByteArray& jpeg);

// jpeg with 0xFF fill bytes put before its restart marker number index
// (0 for the first) so that the marker ends at offset end; null when the
// marker ends past end already or there is no such marker.
QByteArray fillrestart(const QByteArray& jpeg, int index, qsizetype end);

// A file fragmented as a card leaves it when read on contiguously from
// its first cluster: its first at clusters (of clustersize bytes), two
// clusters of foreign, then its own clusters from at on without its last
// two; as long as the file, whose size fields then still hold.
QByteArray withforeignclusters(const QByteArray& file, const QByteArray& foreign, int at, int clustersize);

}  // namespace testsupport
