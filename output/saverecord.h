// What the saver tells of one file, and the slots its name is read from.
#pragma once

#include "badsectors/sectormap.h"
#include "verify/verify.h"

#include <QString>
#include <cstdint>
#include <optional>
#include <vector>

// The raw directory a file was found in: raw (count 32-byte slots) and the
// index of the file's short entry. All empty for a file found outside any
// directory.
struct DIRSLOTS {
    const unsigned char* raw = nullptr;
    std::uint64_t count = 0;
    std::uint64_t entry = 0;
};

// What became of one file.
struct SAVERECORD {
    QString name;                // the name chosen (before any "(n)")
    QString longname;            // the original long name; empty when unknown
    QString shortname;           // the short name with its first byte given back; empty when unknown
    QString subdir;              // below the output directory, '/'-separated; "" for its top
    QString path;                // where it was written; empty when listing or nothing could be created
    std::optional<verify::verdict> verdict;  // with verify
    bool highestimated = false;  // FAT32 start cluster's high word was erased and estimated
    bool startbycontent = false; // the second chance chose the start cluster by content
    std::uint32_t estimatedstart = 0;  // with startbycontent: the estimate it replaced
    int status = 0;              // KOVCore::savefile's status (4: stopped, nothing kept); 0 when listing
    std::optional<bool> nofatchain;  // exFAT: the Stream Extension's NoFatChain flag; unset on FAT
    std::optional<bool> chainheld;   // exFAT without NoFatChain: its FAT chain held (else laid on the free clusters)
    QString carved;              // a carved file: its type ("jpg"); empty for a file found through an entry
    bool rebuiltaround = false;  // rebuilt again around the clusters of files that proved themselves
    // Byte ranges of the file the card could not give (zeros in the file,
    // which is then in damaged/); empty for a file read whole.
    std::vector<badsectors::BYTESPAN> unreadable;
    // The CRC-32 of the bytes written, when saved whole with none unreadable.
    std::optional<std::uint32_t> crc;
};

struct VERDICTCOUNTS {
    std::uint64_t verified = 0;
    std::uint64_t unchecked = 0;
    std::uint64_t damaged = 0;
    std::uint64_t plausible = 0;
    std::uint64_t startbycontent = 0;
    std::uint64_t rebuiltaround = 0;
};
