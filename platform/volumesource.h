// The one seam between the engine and the operating system's volume access.
// Everything here is read-only: no source is ever opened for writing.
#pragma once

#include "badsectors/sectormap.h"

#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

namespace platform {

// An opaque handle of an open source. 0 means "no handle"; invalidhandle()
// is what a failed open yields. Handles are never reused, so a closed or
// failed handle can never reach another open file: every read on it fails.
using volhandle = void*;
volhandle invalidhandle();

// A source is "this file or device, from this byte offset, for this many
// bytes": the whole of an image file or block device, or one partition
// inside it. A plain record, so that any back end can fill it.
struct VolumeSource {
    QString root;     // three-character drive root, "C:\" ...
    QString path;     // image file or /dev node behind it
    std::uint64_t size = 0;    // bytes, from offset on
    std::uint64_t offset = 0;  // where the source begins in path
    int partition = 0;         // its number in path's partition table; 0: all of path
    // An image file or a whole disk whose partitions the system does not
    // list: it may hold a partition table of its own. False for a
    // partition, and for a disk the system has split.
    bool whole = true;
    // Set for a block device this process cannot open itself but udisks2
    // knows: its udisks2 object path. Opening such a source asks udisks2
    // (and, through polkit, the user) for a read-only descriptor.
    QString udisksobject{};
    // With udisksobject: the type code (1 FAT32, 2 FAT16, 3 other, 4 exFAT, 5 FAT12)
    // as udisks2 identified it, so that listing never needs to open the
    // device.
    int udiskstype = 3;
    // What the system calls the medium ("Vendor Model", or a loop device's
    // backing file); may be empty.
    QString label{};
    // What the engine found the volume to be when it listed it ("FAT12",
    // "FAT16", "FAT32", "exFAT"); empty when not listed by the engine.
    QString kind{};
    // What the engine found unusual when it listed the volume (a boot
    // sector taken from its backup); empty for a sound one.
    QString note{};
};

// Whether the system lists and opens cards for a user who may not open
// them, after authentication (on Linux: udisks2 answers).
bool cardsafterauthentication();

// Image files the user named; they come first in the source list.
// Replaces any earlier list. Paths are kept as given.
void setimagefiles(const QStringList& paths);
// The image files last given to setimagefiles, as given.
QStringList namedimagefiles();

// When false, the machine's block devices are not listed (tests, the
// command-line tool given one explicit source).
void setblockdevicesenabled(bool enabled);

// The image files, then the block devices, each whole (offset 0, no
// partition, no root). Recomputed on every call.
QList<VolumeSource> rawsources();

// Gives the sources drive roots in letter order C, D, E ... (A and B are
// never used; sources past Z are dropped) and keeps the resulting
// letter-to-source table for open(). Returns the lettered list.
QList<VolumeSource> assignletters(const QList<VolumeSource>& sources);

// assignletters(rawsources()): the drive-root list of the platform.
QList<VolumeSource> volumesources();

// The source behind a drive letter, from the table of the last
// volumesources() call; an empty path when the letter is unknown.
VolumeSource sourceforletter(QChar letter);

// Opens the source behind the letter read-only. Returns invalidhandle() when
// the letter is unknown or the open fails (no rights, no medium).
volhandle opensource(QChar letter);
// Opens a source read-only. A partition (or any source with an offset) is
// read as its own device: position 0 is its offset in path, and a read
// past its size fails like a read past the end of a device.
volhandle opensource(const VolumeSource& source);
// Opens a whole path read-only (used by tests).
volhandle openpath(const QString& path);
// Makes a handle of a descriptor opened read-only elsewhere (a back end
// that is handed descriptors rather than paths), reading size bytes from
// offset on; the handle owns the descriptor and closes it. invalidhandle()
// for a negative fd.
volhandle adoptdescriptor(int fd, std::uint64_t offset, std::uint64_t size);
// Closes a handle; later reads through it fail. Closing 0 or an invalid
// handle does nothing.
void closesource(volhandle h);

// The sector size of the source: the logical block size of a block device,
// 512 for a regular file. False when the handle is not open or the query
// fails.
bool sectorsize(volhandle h, std::uint32_t* bytes);

// Reads exactly len bytes at byte position pos into buf (readsome), all of
// them or false: false at once, without a read, when the range holds a
// sector already found unreadable; false when the handle is not open or the
// source ends before pos + len (nothing past its end is ever made up).
bool readat(volhandle h, std::uint64_t pos, std::uint32_t len, unsigned char* buf);

// Reads len bytes at pos into buf around the sectors that cannot be read.
// A block device is read with O_DIRECT in pieces of at most 128 KiB, so that
// the kernel neither caches nor widens a bad sector to a page; the pieces
// of a longer read are sent together, up to 32 at once (every other one,
// then those between, so that none is merged with its neighbour). An image
// file (whole sectors, none known bad) is read straight into buf at once,
// and from where that fails on in pieces as a device is. A piece that
// fails is read again one sector at a time; a sector that fails alone is
// tried readretries() - 1 times more (with no retries, the failed piece is
// taken as unreadable whole). An unreadable sector is zero in buf, its
// bytes (clipped to the range) are added to *missing (offsets from pos),
// and it is remembered for the handle: never read again through it. False,
// with nothing read, when the handle is not open or the range lies past
// the source's end; a source shorter than its size fails as readat does.
bool readsome(volhandle h, std::uint64_t pos, std::uint32_t len, unsigned char* buf,
              std::vector<badsectors::BYTESPAN>* missing);

// Bytes of a source kept elsewhere after they were read from it whole
// once, from which later reads are served instead of the source.
class READTHROUGH {
public:
    virtual ~READTHROUGH() = default;
    // Copies the bytes from pos on that it holds (at most len) into buf
    // and returns how many; 0 when it holds none at pos, *unheld then the
    // bytes from pos on (at most len) to take from the source.
    virtual std::uint64_t serve(std::uint64_t pos, std::uint64_t len, unsigned char* buf, std::uint64_t* unheld) = 0;

protected:
    READTHROUGH() = default;
    READTHROUGH(const READTHROUGH&) = default;
    READTHROUGH& operator=(const READTHROUGH&) = default;
};

// Reads through h (readsome, readat) take what through holds from it and
// the rest from the source; the sector map and the image are as the first
// reads left them (nothing served is imaged again). Null ends it; through
// outlives its use.
void readthrough(volhandle h, READTHROUGH* through);

// Reads of a sector after the read that first failed on it (default 1),
// for every handle from now on; at most 16.
void setreadretries(int retries);
int readretries();

// What the reads through h have met so far; null when h is not open. Its
// sectors are the source's own (position 0 is the source's start).
const badsectors::SECTORMAP* sectormap(volhandle h);
// Every handle opened on path (the same file, however named) from now on
// takes spans (byte ranges of path, a ddrescue map's unrescued areas) as
// unreadable from the start. An empty path clears it.
void presetunreadable(const QString& path, const std::vector<badsectors::BYTESPAN>& spans);

// Takes the sectors of pos .. pos + len - 1 as unreadable (a ddrescue map's
// unrescued areas): they are never read through h.
void markunreadable(volhandle h, std::uint64_t pos, std::uint64_t len);

// Every sector read whole through a handle opened on path (the same file,
// however named) from now on is also written into the open file fd at its
// offset in path; what fd then holds is listed in imagemap() (sectors of
// path from its start). fd stays the caller's. The first write that fails
// ends imaging (imagefault() says why); reads go on. A negative fd or an
// empty path ends imaging, once every write queued is made: fd is then
// written no more. Reads queue their writes, up to
// IMAGEWRITER::queuebytes, and go on; the writes are made on a thread of
// their own.
void imagereads(const QString& path, int fd);
// Returns once every sector read so far is written into the image, or
// imaging has stopped: imagestops() and imagemap() then hold of every read
// before it.
void imagewait();
// Why the last imaging stopped writing ("No space left on device"), also
// after it ended; empty while every write went through.
QString imagefault();
// How many times a failed write has ended imaging in this process: a run
// that sees the count grow tells that stop as it happens.
std::uint64_t imagestops();
// The sectors written into the image (read) and those its source could
// not give (bad), once the writes queued are made; null when imagereads
// was never given a file. Only for the thread that reads.
const badsectors::SECTORMAP* imagemap();
// Whether an image is being made now (imagereads began it and has not ended it).
bool makingimage();

// Bytes in the file or block device at path, asked of udisks2 for a device
// this process may not open itself; UINT64_MAX when it cannot be told.
std::uint64_t pathbytes(const QString& path);

// For libraries that read through a file descriptor (partition probing):
// the descriptor behind an open handle and the byte range it stands for.
// The descriptor stays owned by the handle. False when h is not open.
bool descriptor(volhandle h, int* fd, std::uint64_t* offset, std::uint64_t* size);

// Why path cannot be read as a source, in the system's words where it has
// them: "No such file or directory", "Permission denied" (deniedreason()),
// "Is a directory", "not an image file or block device", "empty file", "only
// N bytes, too few for a boot sector". Empty when nothing is wrong with it
// as such.
QString sourceproblem(const QString& path);
// The system's words for a source this process may not open.
QString deniedreason();

// True when the directory (or, if it does not exist yet, its nearest
// existing ancestor) lies on the file system held by the source behind the
// letter: the same device or one of its partitions, or for an image file a
// loop device backed by it (with -o or -P too) or one of its partitions.
bool directoryonsource(const QString& dir, QChar letter);
// The same for the source at sourcepath (an image file or block device).
bool directoryonpath(const QString& dir, const QString& sourcepath);

}  // namespace platform

namespace platform {

// True for a byte that cannot stand in a file name on this platform (a
// path separator, NUL). Recovered names replace such bytes.
bool forbiddennamebyte(unsigned char byte);

// Whether name, with room for reserve more characters, fits in one file or
// directory name of the output file system (on Linux 255 bytes of its
// encoded form).
bool namefits(const QString& name, int reserve = 0);

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
