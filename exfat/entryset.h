// exFAT directory entry sets: a File entry (0x85), its Stream Extension
// (0xC0) and File Name entries (0xC1), perhaps followed by vendor entries,
// bound by the File entry's SetChecksum. Deletion clears bit 7 of each
// entry's type (0x05, 0x40, 0x41): a deleted set is checked with the bit
// given back.
#pragma once

#include <QDateTime>
#include <QString>
#include <cstdint>
#include <optional>

namespace exfat {

constexpr std::uint32_t entrybytes = 32;
constexpr std::uint8_t inusebit = 0x80;
constexpr std::uint8_t typefile = 0x85;
constexpr std::uint8_t typestream = 0xC0;
constexpr std::uint8_t typename_ = 0xC1;
constexpr std::uint8_t typebitmap = 0x81;
constexpr std::uint8_t typeupcase = 0x82;
constexpr std::uint8_t typelabel = 0x83;
constexpr std::uint16_t attrdirectory = 0x10;
// Stream Extension flags.
constexpr std::uint8_t flagallocation = 0x01;
constexpr std::uint8_t flagnofatchain = 0x02;
// The longest set: a File entry, a Stream Extension and 17 names of 15
// characters (255), plus what vendor entries a SecondaryCount of 255 allows.
constexpr std::uint32_t maxsetentries = 256;
constexpr std::uint32_t namecharsperentry = 15;

// One timestamp of a File entry: the DOS-style stamp (date in the high
// half), its 10 ms increment (0..199) and UTC offset byte (bit 7: valid,
// bits 0-6: signed quarter hours).
struct EXFATTIME {
    std::uint32_t stamp = 0;
    std::uint8_t tenms = 0;
    std::uint8_t utcoffset = 0;
    // The moment in UTC, to the 10 ms; local time of this machine when the
    // offset is not valid. Null when the date or time cannot be.
    std::optional<QDateTime> utc() const;
};

struct ENTRYSET {
    bool inuse = false;     // bit 7 set in the File entry
    std::uint32_t entries = 0;  // SecondaryCount + 1
    std::uint16_t attributes = 0;
    EXFATTIME created, modified, accessed;
    std::uint8_t flags = 0;  // Stream Extension GeneralSecondaryFlags
    std::uint64_t validlength = 0;
    std::uint32_t firstcluster = 0;
    std::uint64_t datalength = 0;
    QString name;  // NameLength UTF-16 units
    bool directory() const { return attributes & attrdirectory; }
    bool nofatchain() const { return flags & flagnofatchain; }
};

// The SetChecksum over entries * 32 bytes, bytes 2 and 3 (the checksum
// itself) left out; with inuse, bit 7 of every entry type counts as set.
std::uint16_t setchecksum(const unsigned char* set, std::uint32_t entries, bool inuse);

// Parses the set whose File entry (in use or deleted) is the first of
// available entries. Empty reason and *out filled when the set is whole
// and its checksum holds; else why not (for a note). A deleted File entry
// takes its secondaries deleted or in use alike.
QString parseset(const unsigned char* entry, std::uint64_t available, ENTRYSET* out);

// True for a File entry type, in use or deleted.
inline bool fileentry(std::uint8_t type) { return (type | inusebit) == typefile; }

}  // namespace exfat
