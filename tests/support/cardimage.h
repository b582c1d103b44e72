// A camera card made with mkfs.fat and mtools for the damaged-system-area
// tests: photos and a three-level document tree written in interleaved
// sessions, some files deleted; and the output trees runs leave.
#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>
#include <cstdint>

namespace testsupport {

struct CardFile {
    QString path;  // inside the card, '/' separated, no leading '/'
    QByteArray data;
    bool deleted = false;
};

// Formats image (sizebytes, "mkfs.fat -F fatbits -s sectorspercluster")
// and writes files files of the card: DCIM/100CAMERA photos, DOCS/<year>/<topic>
// documents, some at the root, in interleaved sessions, then deletes every
// fifth. leading > 0 writes a root file LEAD.BIN of that size before the
// folders, so that they lie past the start of the data area. False (with
// lasterror()) when a tool fails.
bool makecard(const QString& image, int fatbits, std::uint64_t sizebytes, int sectorspercluster, int files,
              QList<CardFile>* out, std::uint32_t seed = 1, std::uint64_t leading = 0);

// What a FAT image's boot sector says of its layout, in bytes (all zero
// when it cannot be read).
struct BootGeometry {
    std::uint64_t sectorbytes = 0;
    std::uint64_t fatstart = 0;
    std::uint64_t fatbytes = 0;  // one copy
    std::uint64_t datastart = 0;
    std::uint64_t clustersize = 0;
};
BootGeometry bootgeometry(const QString& image);
// Every plain file below dir by its path relative to dir ('/' separated).
QMap<QString, QByteArray> outputtree(const QString& dir);

// Overwrites length bytes of image at offset with zeros (fill 0) or with
// deterministic garbage (fill != 0).
bool overwrite(const QString& image, std::uint64_t offset, std::uint64_t length, int fill = 0);

}  // namespace testsupport
