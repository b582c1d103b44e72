// Real files of the formats the content checks know, made at test time by
// each format's own tool or library: ImageMagick (JPEG, PNG, GIF, BMP), zip,
// gzip, Qt's PDF writer, sox (WAV), lame (MP3), GStreamer's muxers (AVI,
// QuickTime, MP4) and libgsf (OLE2). Text files are written
// here in UTF-8 and in CP-1252.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

namespace testsupport {

// The kinds formatfile() makes: their usual extensions.
QStringList formatkinds();

// A file of that kind (an extension from formatkinds(), or one of "cp1252"
// text, "utf16" text with a byte order mark, "pjpg" a progressive JPEG,
// "zip64" a ZIP with ZIP64 records (zip -fz), "heic" and "avif" images by
// ImageMagick through libheif, "mp3id3" an MP3 with an ID3v2 tag, "exifjpg"
// a JPEG with an Exif segment holding DateTimeOriginal exiftime(seed) and
// a JPEG thumbnail, "pdfupdate" a PDF with an incremental update after
// its first %%EOF, "bigpdf" one of over 4 MiB, "bigdoc" an OLE2 file of
// over 6 MiB, "m2ts" a transport stream of 192-byte packets by GStreamer,
// "bigm2ts" one of over 8 MiB), made in workdir; seed varies the contents. At least 8 KiB. A null QByteArray when the tool
// is missing or fails: lasterror() says why.
QByteArray formatfile(const QString& kind, const QString& workdir, int seed);

// The DateTimeOriginal of formatfile("exifjpg", ..., seed), as the local
// time the camera wrote (the tests run in UTC): 2019-06-15 14:30:42 plus
// two minutes per seed.
QDateTime exiftime(int seed);

}  // namespace testsupport
