#include "fat/minutetable.h"

#include <QDateTime>

#include <bit>
#include <limits>

namespace {

constexpr std::int64_t unknown = std::numeric_limits<std::int64_t>::min();

std::int64_t utcof(const QDate& day, const QTime& time)
{
    const QDateTime local(day, time);
    return local.isValid() ? local.toSecsSinceEpoch() : unknown;
}

}  // namespace

MINUTECLOCK::MINUTECLOCK()
    : originutc(utcof(QDate(1980, 1, 1), QTime(0, 0))),
      minutes(std::int32_t((utcof(QDate(2020, 1, 1), QTime(0, 0)) - originutc) / 60)),
      midnights(new std::int64_t[65536])
{
    std::fill(midnights.get(), midnights.get() + 65536, unknown);
}

std::int64_t MINUTECLOCK::midnightutc(const QDate& day) const
{
    const int years = day.year() - 1980;
    if (years < 0 || years > 127)
        return utcof(day, QTime(0, 0));
    std::int64_t& cached = midnights[std::size_t(years << 9 | day.month() << 5 | day.day())];
    if (cached == unknown)
        cached = utcof(day, QTime(0, 0));
    return cached;
}

std::optional<std::int64_t> MINUTECLOCK::utcseconds(std::uint16_t date, std::uint16_t time) const
{
    const QDate day(1980 + (date >> 9), (date >> 5) & 0x0F, date & 0x1F);
    const int hour = time >> 11;
    const int minute = (time >> 5) & 0x3F;
    const int second = (time & 0x1F) * 2;
    if (!day.isValid() || hour > 23 || minute > 59 || second > 59)
        return std::nullopt;
    // Converting local time is slow. Within a day that keeps one UTC offset
    // (its next midnight comes 24 hours later) the seconds since local
    // midnight simply add on; each midnight is converted once.
    const std::int64_t start = midnightutc(day);
    const std::int64_t next = midnightutc(day.addDays(1));
    if (start != unknown && next != unknown && next - start == 86400)
        return start + hour * 3600 + minute * 60 + second;
    const std::int64_t exact = utcof(day, QTime(hour, minute, second));
    if (exact == unknown)
        return std::nullopt;
    return exact;
}

std::optional<std::int64_t> MINUTECLOCK::key(std::uint16_t date, std::uint16_t time) const
{
    // The two-second field does not enter the key.
    const std::optional<std::int64_t> utc = utcseconds(date, std::uint16_t(time & ~0x1F));
    if (!utc || originutc == unknown)
        return std::nullopt;
    return (*utc - originutc) / 60;
}

void MINUTEINDEX::reset(std::int32_t count)
{
    slotcount = count > 0 ? count : 0;
    blockcount = (slotcount + 63) / 64;
    const std::int32_t words = (blockcount + 63) / 64;
    blocks.reset(new std::uint64_t[words > 0 ? words : 1]());
}

void MINUTEINDEX::mark(std::int32_t slot)
{
    if (slot < 0 || slot >= slotcount)
        return;
    const std::int32_t block = slot >> 6;
    blocks[block >> 6] |= std::uint64_t(1) << (block & 63);
}

namespace {

// Bits 0 .. n-1 of a word (n 0 .. 64).
std::uint64_t lowbits(int n) { return n >= 64 ? ~std::uint64_t(0) : (std::uint64_t(1) << n) - 1; }

}  // namespace

std::int32_t MINUTEINDEX::below(const std::uint16_t* table, std::int32_t k) const
{
    std::int32_t s = std::min(k - 1, slotcount - 1);
    if (s < 0)
        return -1;
    std::int32_t block = s >> 6;
    if (blockused(block))
        for (; s >= block * 64; --s)
            if (table[s] != 0xFFFF)
                return s;
    // The nearest used block below, a summary word at a time.
    if (--block < 0)
        return -1;
    std::int32_t word = block >> 6;
    std::uint64_t bits = blocks[word] & lowbits((block & 63) + 1);
    while (bits == 0) {
        if (--word < 0)
            return -1;
        bits = blocks[word];
    }
    block = word * 64 + 63 - std::countl_zero(bits);
    for (s = std::min(block * 64 + 63, slotcount - 1); s >= block * 64; --s)
        if (table[s] != 0xFFFF)
            return s;
    return -1;
}

std::int32_t MINUTEINDEX::above(const std::uint16_t* table, std::int32_t k) const
{
    std::int32_t s = k < -1 ? 0 : k + 1;
    if (s >= slotcount)
        return -1;
    std::int32_t block = s >> 6;
    const std::int32_t end = std::min(block * 64 + 64, slotcount);
    if (blockused(block))
        for (; s < end; ++s)
            if (table[s] != 0xFFFF)
                return s;
    if (++block >= blockcount)
        return -1;
    std::int32_t word = block >> 6;
    const std::int32_t words = (blockcount + 63) / 64;
    std::uint64_t bits = blocks[word] & ~lowbits(block & 63);
    while (bits == 0) {
        if (++word >= words)
            return -1;
        bits = blocks[word];
    }
    block = word * 64 + std::countr_zero(bits);
    for (s = block * 64; s < std::min(block * 64 + 64, slotcount); ++s)
        if (table[s] != 0xFFFF)
            return s;
    return -1;
}
