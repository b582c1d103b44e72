// Real files of the formats the content checks know, made at test time by
// each format's own tool or library: ImageMagick (JPEG, PNG, GIF, BMP), zip,
// gzip, Qt's PDF writer, sox (WAV), lame (MP3), GStreamer's muxers (AVI,
// QuickTime, MP4) and libgsf (OLE2). Text files are written
// here in UTF-8 and in CP-1252.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace testsupport {

// The kinds formatfile() makes: their usual extensions.
QStringList formatkinds();

// A file of that kind (an extension from formatkinds(), or one of "cp1252"
// text, "utf16" text with a byte order mark, "pjpg" a progressive JPEG,
// "zip64" a ZIP with ZIP64 records (zip -fz), "heic" and "avif" images by
// ImageMagick through libheif), made in workdir; seed varies the contents. At least 8 KiB. A null QByteArray when the tool
// is missing or fails: lasterror() says why.
QByteArray formatfile(const QString& kind, const QString& workdir, int seed);

}  // namespace testsupport
