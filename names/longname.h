// The long names of deleted entries, read back from the long-name slots
// that precede their short entry.
#pragma once

#include <QString>
#include <cstdint>
#include <optional>

struct LONGNAME {
    QString name;          // the long name as the user typed it
    unsigned char first;   // the short name's erased first byte
};

// The long name of the deleted short entry at slot index entry of a raw
// directory of slotcount 32-byte slots. Deleting marked the first byte of
// the short entry and of every long-name slot, so the order numbers are
// lost: the slots directly before the entry that carry the checksum of its
// short name, computed with the one first byte that gives it (a valid
// short-name character), are its name's parts, nearest first, up to the
// part that holds the name's end. Empty when no such slots are there or
// their text is not valid UTF-16.
std::optional<LONGNAME> deletedlongname(const unsigned char* dirslots, std::uint64_t slotcount, std::uint64_t entry);

// The long name of the short entry at slot index entry, deleted or not. A
// live-looking entry (after a format, or inside a deleted directory) keeps
// its slots intact: numbered 1, 2 ... upwards from the entry, each with the
// checksum of its own short name, the last one flagged. first is then the
// entry's own first byte (0x05 read as 0xE5). A deleted entry: as
// deletedlongname.
std::optional<LONGNAME> entrylongname(const unsigned char* dirslots, std::uint64_t slotcount, std::uint64_t entry);

// The checksum a long-name slot carries of the 11 bytes of its short name.
std::uint8_t shortnamechecksum(const unsigned char* name11);
