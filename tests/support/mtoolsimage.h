// FAT images made at test time with the real tools (mkfs.fat, mtools,
// fsck.fat), plus the small file helpers the tests around them need.
//
// Every helper that runs a tool returns false (or a null QByteArray) when
// the tool is missing or exits non-zero, and leaves the command line, exit
// status and stderr in lasterror(); use it as ASSERT_TRUE(x) << lasterror().
//
// What the tools write, as checked with mtools 4.0.32 and mkfs.fat 4.2:
// - Times: mtools stamps creation, write and access fields with "now",
//   taken from SOURCE_DATE_EPOCH when set, converted with the local time
//   zone (TZ) of the test process. Every run here sets SOURCE_DATE_EPOCH from
//   tooloptions().now, so images are byte-identical run to run. mcopy with
//   keepmtime takes all three stamps from the local file's mtime instead
//   (set it with setmtime()); the tenths byte (offset 13) stays 0.
// - Names: a name that is not a valid upper-case 8.3 name gets VFAT
//   long-name slots (attribute 0x0F) before its short entry, e.g.
//   "A very long name.txt" becomes two slots plus "AVERYL~1TXT". A valid
//   8.3 name in lower case ("lower.txt") gets no slot: the short entry
//   "LOWER   TXT" with case bits 0x18 in byte 12. A mixed-case 8.3 name
//   ("Mixed.txt") gets a slot unless mixedcaseslots is false. There is no
//   way to make mtools write a long name without slots.
// - mdel marks byte 0 with 0xE5, frees the chain in every FAT copy, and
//   keeps both start-cluster words (FAT32 high word included). A later
//   mcopy reuses the first deleted slot of the directory.
// - Allocation: on FAT16 mtools takes the lowest free clusters, so writing a
//   file larger than the hole left by a deleted one fragments it. On FAT32
//   it starts at the FSInfo next-free hint (just past the last allocation);
//   resetfsinfohint() makes it start from cluster 2 again.
// - mtools works out the FAT width from the cluster count: a FAT16 volume
//   below 4085 clusters is read as FAT12, a FAT32 volume below 65525
//   clusters as FAT16 ("No directory slots"). mkfs.fat only warns about the
//   latter, so keep FAT32 images at >= 34 MiB with 512-byte clusters.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <map>
#include <string>

namespace testsupport {

struct ToolOptions {
    // Given to every tool as SOURCE_DATE_EPOCH: 2020-09-13 12:26:40 UTC.
    qint64 now = 1600000000;
    // false sets MTOOLS_NO_VFAT=1: a mixed-case 8.3 name ("Mixed.txt") then
    // gets no long-name slot and is stored as all lower case; names that
    // are not 8.3 get slots either way.
    bool mixedcaseslots = true;
};

// The options every later tool run uses (process-wide).
ToolOptions& tooloptions();

// Sets tooloptions() for its lifetime and restores the previous ones.
class ScopedToolOptions {
public:
    explicit ScopedToolOptions(const ToolOptions& options);
    ~ScopedToolOptions();
    ScopedToolOptions(const ScopedToolOptions&) = delete;
    ScopedToolOptions& operator=(const ScopedToolOptions&) = delete;

private:
    ToolOptions saved;
};

// Why the last failing helper failed; unchanged by successes.
std::string lasterror();

// Runs a tool (looked up in PATH, then /usr/sbin and /sbin) with the tool
// environment, stdin closed, and waits up to two minutes. True when it
// exits with status 0; its stdout goes to *out when given.
bool runtool(const QString& program, const QStringList& args, QByteArray* out = nullptr);

// Creates image as a sparse file of exactly sizebytes and formats it with
// "mkfs.fat -F fatbits -s sectorspercluster -i 1234ABCD [extraargs] image".
// extraargs passes other mkfs.fat options: -S sector size, -R reserved
// sectors, -r root entries, -f FAT count, -n label ...
bool makefat(const QString& image, int fatbits, std::uint64_t sizebytes, int sectorspercluster,
             const QStringList& extraargs = {});

// Copies a local file into the image at fatpath ("DIR/NAME.EXT", with or
// without a leading "::"), replacing an existing file. keepmtime (mcopy -m)
// stamps the entry with the local file's mtime instead of "now".
bool mcopy(const QString& image, const QString& localfile, const QString& fatpath,
           bool keepmtime = false);
// Creates one directory; its parent must exist.
bool mmd(const QString& image, const QString& fatpath);
// Deletes one file (not a directory).
bool mdel(const QString& image, const QString& fatpath);
// Deletes a directory with everything below it.
bool mdeltree(const QString& image, const QString& fatpath);
// The contents of a file in the image, unconverted; a null QByteArray when
// mtype fails (an empty file gives an empty, non-null array).
QByteArray mtype(const QString& image, const QString& fatpath);
// mdir's listing of a directory; null when mdir fails.
QByteArray mdir(const QString& image, const QString& fatpath = QStringLiteral("::/"));
// True when "fsck.fat -n" finds nothing to fix; its report is in lasterror()
// otherwise.
bool fsckclean(const QString& image);

// Sets the FSInfo next-free hint of a FAT32 image to "unknown" so that the
// next mtools allocation starts at cluster 2 (and fills holes first).
bool resetfsinfohint(const QString& image);
// Sets it to cluster: the next allocation starts there.
bool setfsinfohint(const QString& image, std::uint32_t cluster);

// Writes data to localpath, replacing the file.
bool writefile(const QString& localpath, const QByteArray& data);
// The contents of a local file; empty when it cannot be read.
QByteArray contents(const QString& localpath);
// Every file below dir (hidden ones too), by its path relative to dir.
std::map<QString, QByteArray> filetree(const QString& dir);
// Sets a local file's modification time (for mcopy with keepmtime).
bool setmtime(const QString& localpath, const QDateTime& when);
// size deterministic bytes: 4-byte little-endian words from a bijective mix
// of the word index and the seed, so no two words of one pattern are equal
// (up to 16 GiB) and a misplaced or repeated cluster always changes the
// bytes. Different seeds give unrelated sequences.
QByteArray patterndata(std::uint64_t size, std::uint32_t seed);
// SHA-256 of a file's contents (32 raw bytes); null when it cannot be read.
QByteArray sha256(const QString& file);

}  // namespace testsupport
