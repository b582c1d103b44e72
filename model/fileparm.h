// One file or directory found on the volume, with its extents and, for a
// directory, its raw entries and the walk's cursor over them.
#pragma once

#include "badsectors/sectormap.h"
#include "model/diskparm.h"
#include "platform/outputfolder.h"

#include <QByteArray>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class KOVCore;

class FILEPARM {
public:
    std::int32_t namelen = 0;
    // NUL-terminated 8-bit short name of namelen bytes; null when unnamed.
    std::unique_ptr<char[]> name;
    // Content bytes: for a file what readfile/saveas deliver, for a
    // directory the bytes of dirbuf.
    std::uint64_t size = 0;
    // Raw directory contents (size bytes), null for files and unlisted
    // directories. Never written after it is read, so copies share it.
    std::shared_ptr<const unsigned char[]> dirbuf;
    std::vector<DATARUN> dataruns;
    std::uint64_t recordedsize = 0;
    std::uint64_t createtime = 0;  // date<<32 | time<<16 | 10ms byte
    std::uint64_t writetime = 0;   // date<<32 | time
    std::uint8_t isdir = 0;
    std::uint32_t entryindex = 0;  // next 32-byte slot of dirbuf to examine
    KOVCore* dialog = nullptr;     // not owned
    std::uint16_t clusterhigh = 0;
    // The containing directory as it was when the walk descended (with its
    // own parent chain). Never changed once made, so copies of a record
    // share it: a copy costs the same at any depth.
    std::shared_ptr<const FILEPARM> parent;
    std::uint16_t entryclusterhigh = 0;
    std::uint32_t startcluster = 0;
    std::uint8_t deleted = 0;
    // Bytes from this offset up to size are zeros that no cluster holds
    // (exFAT's valid data length); size or more when every byte is stored.
    std::uint64_t validsize = ~std::uint64_t(0);
    // The modification time in milliseconds since 1970 UTC when the volume
    // gives it whole (exFAT: 10 ms part and UTC offset); unset for FAT,
    // whose writetime is local time to the 2 s.
    std::optional<std::int64_t> modifiedms;

    FILEPARM() = default;
    FILEPARM(const FILEPARM& other) { *this = other; }
    // Copies the record's own fields and shares its (unchangeable)
    // ancestors; a self-assignment changes nothing.
    FILEPARM& operator=(const FILEPARM& other);
    ~FILEPARM();

    // Ready for the next entry: everything empty except dialog,
    // recordedsize, createtime and writetime, which the filler sets.
    void clear();

    void setname(const QByteArray& bytes);
    QByteArray namebytes() const { return name ? QByteArray(name.get(), namelen) : QByteArray(); }

    // The data-area cluster holding file cluster vcn; all ones when no run
    // covers it.
    std::uint64_t vcn2lcn(std::uint64_t vcn) const;

    // Copies up to length bytes from offset on into buffer (length bytes of
    // room) and stores the count delivered in *bytesread. False when a
    // cluster of the range below validsize is not mapped or a device read
    // fails (*bytesread is then unchanged). Served from dirbuf when present;
    // bytes from validsize on are zeros. With unreadable, a sector that
    // cannot be read is no failure: its bytes are zero and their file
    // offsets are added to *unreadable.
    bool readfile(DISKPARM disk, std::uint64_t offset, std::uint64_t length, unsigned char* buffer,
                  std::uint64_t* bytesread, std::vector<badsectors::BYTESPAN>* unreadable = nullptr) const;

    // Writes the whole contents to a new file at path. Returns 0 written,
    // 1 the file cannot be created (also when it already exists: a save
    // never replaces a file), 2 a read failed, 3 a write failed, 4 the
    // process was asked to stop (platform::stopsignal) before the end. On 2,
    // 3 or 4 the part written stays on disk.
    // With unreadable, the file is written whole around sectors that cannot
    // be read (zeros there, their file offsets added to *unreadable).
    int saveas(DISKPARM disk, const char* path) const;
    // The same into a new file name of an open output folder (made
    // exclusively, never through a link); each piece written is shown to
    // wrote, in order.
    int saveas(DISKPARM disk, const platform::OUTFOLDER& folder, const QString& name,
               std::vector<badsectors::BYTESPAN>* unreadable = nullptr,
               const std::function<void(const unsigned char*, std::size_t)>& wrote = {}) const;

    // One step of the directory walk over this directory (see treewalk.cpp):
    // >0 an entry was put in out, -1 out is a copy of the parent, -2 the
    // whole tree has been walked. mode 1 passes over deleted entries.
    int getnextfile(FILEPARM& out, int mode);

private:
    // readfile for a range that lies below size and validsize.
    bool readstored(DISKPARM disk, std::uint64_t offset, std::uint64_t length, unsigned char* buffer,
                    std::uint64_t* bytesread, std::vector<badsectors::BYTESPAN>* unreadable) const;
    // Writes the contents into file and closes it; the statuses of saveas.
    int writeto(DISKPARM disk, std::FILE* file, std::vector<badsectors::BYTESPAN>* unreadable = nullptr,
                const std::function<void(const unsigned char*, std::size_t)>& wrote = {}) const;
};
