// The file starts carving looks for at the first byte of a cluster, and
// the type a carved file is saved as.
#pragma once

#include "verify/verify.h"

#include <QString>

namespace carve {

// The bytes a start is told by: the first 32 of a cluster.
constexpr std::size_t headbytes = 32;

// The family a file beginning with head (headbytes of a cluster) belongs
// to, by the signatures of the carved formats: JPEG, PNG, GIF, BMP, the
// ZIP family, gzip, PDF, RIFF (WAV, AVI, WebP), MP4/MOV/3GP, MP3 with an
// ID3v2 tag, OLE2, TIFF and the RAW files built on it, RAF, CRW, and a
// transport stream whose first packet is its program table; confirmed by
// verify::canbegin. none when no start.
verify::family startfamily(verify::bytes head);

// The extension (and folder) of a carved file of family f with these
// bytes: "jpg", "png", "gif", "bmp", "docx", "xlsx", "pptx", "odt", "ods",
// "odp", "epub", "jar", "zip", "gz", "pdf", "wav", "avi", "webp", "riff",
// "mov", "3gp", "heic", "cr3", "mp4", "mp3", "doc", "xls", "ppt", "ole",
// verify::tiffkind's ("cr2", "nef", "dng" ...), "raf", "crw", "mts", "ts".
QString extensionof(verify::family f, verify::bytes file);

}  // namespace carve
