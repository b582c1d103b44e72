// A real block device with unreadable sectors and a card reader's speed, for
// tests (root only): kov_badblocks (tests/support/badblocks/) serves an
// image read-only through FUSE, and a read-only loop device sits on it.
//
// On the loop device, a read with O_DIRECT reaches the server at its offset
// and size (a large one split into requests of 1 MiB at most), so a bad
// sector fails exactly the reads that touch it, down to 512 bytes. A read through the page cache
// is widened by the kernel to whole 4 KiB pages, and a failed page is
// asked for again: one bad sector then fails its seven neighbours too.
//
// How the device is made, as found on Linux 6.18 with libfuse 3.14:
// - The server opens the image file with direct_io, so that neither a
//   page cache nor read-ahead of the FUSE file widens the loop's requests.
//   With that, the loop device is sector-exact with or without its own
//   direct I/O; with it (LO_FLAGS_DIRECT_IO, losetup --direct-io=on) large
//   O_DIRECT reads of the device are two to four times faster here,
//   buffered ones no slower.
// - 512-byte logical blocks (losetup -b 512); 4096 refuses 512-byte reads.
// - The loop's largest request is capped at 1 MiB (queue/max_sectors_kb),
//   the largest request FUSE sends, so that one request of the device is
//   one request of the server. At the default 1280 KiB (requests that large
//   come from buffers in huge pages) FUSE splits it in two: without the
//   loop's direct I/O, when the second part fails the loop asks again for
//   what is left, so a bad sector is read twice for one read of the device;
//   with it, the parts go out at once and the good one is still served.
// - LO_FLAGS_AUTOCLEAR with the one descriptor held here, and the server
//   told to end with this process: a test process that dies leaves neither
//   a loop device nor a mount behind (only the cap on that loop device).
#pragma once

#include <QProcess>
#include <QString>
#include <cstdint>
#include <map>
#include <vector>

namespace testsupport {

// 512-byte sectors first to last, inclusive.
struct SectorRange {
    std::uint64_t first = 0, last = 0;
};

struct BadBlockCounts {
    std::uint64_t reads = 0;    // requests for the image, failed ones too
    std::uint64_t bytes = 0;    // bytes served
    std::uint64_t failed = 0;   // requests answered with EIO
    std::uint64_t largest = 0;  // the largest request, in bytes
    // Each bad sector asked for, by how many requests.
    std::map<std::uint64_t, std::uint32_t> asked;
};

class BadBlockDevice {
public:
    // True when this machine can make one (root, /dev/fuse, loop devices);
    // else false with why.
    static bool available(QString* why);

    // image served with bad sectors and a pace in bytes per second (0: as
    // fast as the server goes). ok() false (why() says why) when it fails.
    BadBlockDevice(const QString& image, const std::vector<SectorRange>& bad = {}, std::uint64_t pace = 0);
    ~BadBlockDevice();
    BadBlockDevice(const BadBlockDevice&) = delete;
    BadBlockDevice& operator=(const BadBlockDevice&) = delete;

    bool ok() const { return loopfd >= 0; }
    QString why() const { return reason; }
    // The loop device, /dev/loopN.
    QString path() const { return device; }
    // The served image itself: a file whose bad sectors fail as the
    // device's do, read as an image file is.
    QString file() const { return mountdir + "/card"; }
    // The server's counters since the device was made (largest: ever); all
    // zero when they cannot be read.
    BadBlockCounts counts() const;

private:
    bool startserver(const QString& image, const std::vector<SectorRange>& bad, std::uint64_t pace);
    bool attach();
    void teardown();
    BadBlockCounts servercounts() const;

    QString mountdir;
    QProcess server;
    QString device;
    int loopfd = -1;
    QString oldmaxkb;  // the loop's queue/max_sectors_kb before ours
    QString reason;
    BadBlockCounts baseline;
};

}  // namespace testsupport
