// The files a run has saved, by size, so that a carved file whose bytes
// equal one of them is not written again.
#pragma once

#include "model/diskparm.h"
#include "verify/verify.h"

#include <QByteArray>

#include <cstdint>
#include <functional>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class FILEPARM;

namespace carve {

class SAVEDFILES {
public:
    // A file the run saved or listed, read through its runs on the layout
    // it was found in (disk), which a later layout of the same run does not
    // change. Past a bound of notes the rest are not kept (a run of that
    // many files is compared with its first ones only).
    // crc: its bytes' CRC-32 when known (taken as they were written).
    void note(const FILEPARM& file, const DISKPARM& disk, std::optional<std::uint32_t> crc = std::nullopt);
    // A carved file saved with these bytes (its CRC-32 known already).
    void notecarved(const FILEPARM& file, const DISKPARM& disk, verify::bytes data);
    // True when a file noted holds exactly data: same size, then its
    // CRC-32 (read once, when a carved file of its size first meets it,
    // and from then on found by it), then its SHA-256 (read once, when a
    // CRC-32 first matches). Many files of one size, or files made to share
    // a size and a CRC-32, are read once each and not looked at again for
    // every carved file that shares them.
    bool holds(verify::bytes data);
    // The same for a file too large to hold, read through its runs on disk.
    bool holds(const FILEPARM& file, const DISKPARM& disk);
    std::size_t count() const { return entries.size(); }
    // The source bytes the noted files hold, [from, to), each file's runs
    // cut to its size: what another layout's clusters must not be carved over.
    void eachextent(const std::function<void(std::uint64_t from, std::uint64_t to)>& each) const;

    static constexpr std::size_t maxnotes = 4u << 20;

private:
    struct ENTRY {
        DISKPARM disk;
        std::vector<DATARUN> runs;
        std::uint64_t size = 0;
        std::uint32_t crc = 0;  // once in bycrc
        QByteArray digest;      // SHA-256; empty until needed
        bool unreadable = false;
    };
    bool holds(std::uint64_t size, const std::function<std::optional<std::uint32_t>()>& crcof,
               const std::function<QByteArray()>& digestof);
    void add(const FILEPARM& file, const DISKPARM& disk, std::optional<std::uint32_t> crc);
    static std::uint64_t key(std::uint64_t size, std::uint32_t crc) { return size << 32 ^ crc; }
    // The file's bytes from offset, in pieces of up to 4 MiB, to each; false
    // when a read fails.
    bool readpieces(const ENTRY& e, const std::function<void(verify::bytes)>& each) const;
    std::vector<ENTRY> entries;
    std::unordered_set<std::uint64_t> sizes;
    std::unordered_multimap<std::uint64_t, std::size_t> bysize;  // CRC-32 not read yet
    std::unordered_multimap<std::uint64_t, std::size_t> bycrc;   // by key(size, CRC-32)
};

}  // namespace carve
