// A concrete engine for the benchmarks: hooks that do nothing but count,
// and helpers that set up engine state directly, without an image.
#pragma once

#include "model/kovcore.h"

#include <cstring>
#include <memory>
#include <vector>

namespace bench {

class BenchCore : public KOVCore {
public:
    int warnings = 0;
    void showwarning(const QString&) override { ++warnings; }
    void showinformation(const QString&) override {}
    void addvolumeitem(const platform::VolumeSource&) override {}
    void setstatuslines(const QString&, const QString&, const QString&) override {}
    void setbuttontext(const QString&) override {}

    // Opens one image as drive C and initialises it.
    void openimage(const QString& path)
    {
        platform::setblockdevicesenabled(false);
        platform::setimagefiles({path});
        platform::volumesources();
        initdisk(QStringLiteral("C:\\"));
    }

    // A FAT32 layout of `entries` clusters of 4096 bytes with a cached FAT
    // whose entries are given, and an empty cluster-usage bitmap. No device:
    // only what works on the cached FAT and on memory can run.
    void setfat32(const std::vector<std::uint32_t>& table)
    {
        dbrparm.fstype = 1;
        dbrparm.bytespersector = 512;
        dbrparm.sectorspercluster = 8;
        diskparm.bytespersector = 512;
        diskparm.sectorspercluster = 8;
        fatbits = 32;
        fatentries = table.size();
        fat.reset(new unsigned char[table.size() * 4]);
        for (std::size_t i = 0; i < table.size(); ++i) {
            const std::uint32_t v = table[i];
            const unsigned char b[4] = {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16),
                                        std::uint8_t(v >> 24)};
            std::memcpy(fat.get() + i * 4, b, 4);
        }
        bitmap.resize(table.size());
    }
};

// FAT date and time words.
constexpr std::uint16_t fatdate(int year, int month, int day)
{
    return std::uint16_t((year - 1980) << 9 | month << 5 | day);
}
constexpr std::uint16_t fattime(int hour, int minute, int second = 0)
{
    return std::uint16_t(hour << 11 | minute << 5 | second / 2);
}

// Writes a 32-byte short entry.
inline void putentry(unsigned char* e, const char name11[11], unsigned char attr, std::uint32_t start,
                     std::uint32_t size, std::uint16_t crtdate, std::uint16_t crttime)
{
    std::memset(e, 0, 32);
    std::memcpy(e, name11, 11);
    e[dirfield::attr] = attr;
    auto put16 = [&](int at, std::uint16_t v) {
        e[at] = std::uint8_t(v);
        e[at + 1] = std::uint8_t(v >> 8);
    };
    put16(dirfield::crttime, crttime);
    put16(dirfield::crtdate, crtdate);
    put16(dirfield::wrttime, crttime);
    put16(dirfield::wrtdate, crtdate);
    put16(dirfield::fstclushi, std::uint16_t(start >> 16));
    put16(dirfield::fstcluslo, std::uint16_t(start));
    put16(dirfield::filesize, std::uint16_t(size));
    put16(dirfield::filesize + 2, std::uint16_t(size >> 16));
}

}  // namespace bench
