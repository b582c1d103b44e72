// The one seam between the engine and the operating system's volume access.
// Everything here is read-only: no source is ever opened for writing.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>

namespace platform {

// An opaque handle of an open source. 0 means "no handle"; invalidhandle()
// is what a failed open yields. Handles are never reused, so a closed or
// failed handle can never reach another open file: every read on it fails.
using volhandle = void*;
volhandle invalidhandle();

struct VolumeSource {
    QString root;     // three-character drive root, "C:\" ...
    QString path;     // image file or /dev node behind it
    std::uint64_t size = 0;  // bytes
};

// Image files the user named; they come first in the source list.
// Replaces any earlier list. Paths are kept as given.
void setimagefiles(const QStringList& paths);

// When false, the machine's block devices are not listed (tests, the
// command-line tool given one explicit source).
void setblockdevicesenabled(bool enabled);

// The sources, in letter order C, D, E ... (A and B are never used), as the
// drive-root list of the platform. Recomputed on every call; the layer keeps
// the resulting letter-to-path table for open().
QList<VolumeSource> volumesources();

// The source behind a drive letter, from the table of the last
// volumesources() call; an empty path when the letter is unknown.
VolumeSource sourceforletter(QChar letter);

// Opens the source behind the letter read-only. Returns invalidhandle() when
// the letter is unknown or the open fails (no rights, no medium).
volhandle opensource(QChar letter);
// Opens a path read-only (used by the letter form and by tests).
volhandle openpath(const QString& path);
// Closes a handle; later reads through it fail. Closing 0 or an invalid
// handle does nothing.
void closesource(volhandle h);

// The sector size of the source: the logical block size of a block device,
// 512 for a regular file. False when the handle is not open or the query
// fails.
bool sectorsize(volhandle h, std::uint32_t* bytes);

// Reads exactly len bytes at byte position pos into buf, in one positioned
// read. False when the handle is not open, the read fails or delivers fewer
// bytes than asked (nothing past the end of a source is ever made up).
bool readat(volhandle h, std::uint64_t pos, std::uint32_t len, unsigned char* buf);

// True when the directory (or, if it does not exist yet, its nearest
// existing ancestor) lies on the file system held by the source behind the
// letter: the same device, or for an image file a loop device backed by it.
bool directoryonsource(const QString& dir, QChar letter);

}  // namespace platform

namespace platform {

// True for a byte that cannot stand in a file name on this platform (a
// path separator, NUL). Recovered names replace such bytes.
bool forbiddennamebyte(unsigned char byte);

// Whether something has that path. taken: a file, directory or link
// (dangling too), which a file created there would replace or write
// through. unknown: the test itself failed (no search permission, a name
// too long, a directory gone or replaced by a file, an I/O error), so no
// file can be created there either.
enum class PathState { free, taken, unknown };
PathState pathstate(const QString& path);

// Sets a file's modification time (seconds since the epoch, UTC); false
// when it cannot.
bool setmodificationtime(const QString& path, std::int64_t utcseconds);

}  // namespace platform
