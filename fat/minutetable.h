// Creation-minute keys and a summary of the minute table that finds the
// nearest recorded minutes without scanning empty slotcount.
#pragma once

#include <QDate>

#include <cstdint>
#include <memory>
#include <optional>

// Keys are minutes since local 1980-01-01 00:00, as QDateTime::secsTo
// between local date-times gives them (divided by 60, truncated).
class MINUTECLOCK {
public:
    MINUTECLOCK();
    // Minutes from local 1980-01-01 00:00 to local 2020-01-01 00:00.
    std::int32_t count() const { return minutes; }
    // The key of a FAT date and time word; none when the fields do not form
    // a valid date and time (month 0, 31 February, hour 24 ...).
    std::optional<std::int64_t> key(std::uint16_t date, std::uint16_t time) const;
    // The UTC time (seconds since the epoch) of a FAT local date and time
    // word, two-second field included; none when they form no valid time.
    std::optional<std::int64_t> utcseconds(std::uint16_t date, std::uint16_t time) const;

private:
    std::int64_t midnightutc(const QDate& day) const;
    std::int64_t originutc;
    std::int32_t minutes = 0;
    // Per FAT date word: the UTC time of that day's local midnight, once
    // converted.
    mutable std::unique_ptr<std::int64_t[]> midnights;
};

// One bit per 64-slot block of the minute table: set once any slot of the
// block is recorded. Slots are never emptied again, so the bits stay exact.
class MINUTEINDEX {
public:
    void reset(std::int32_t count);
    void mark(std::int32_t slot);
    // The nearest recorded slot below / above k in the table, or -1.
    std::int32_t below(const std::uint16_t* table, std::int32_t k) const;
    std::int32_t above(const std::uint16_t* table, std::int32_t k) const;

private:
    std::int32_t slotcount = 0;
    std::unique_ptr<std::uint64_t[]> blocks;  // bit b of word w: block 64w+b
    std::int32_t blockcount = 0;
    bool blockused(std::int32_t block) const { return blocks[block >> 6] >> (block & 63) & 1; }
};
