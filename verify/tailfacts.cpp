#include "verify/tailfacts.h"

#include <algorithm>
#include <vector>

namespace verify {

namespace {

std::uint32_t le32(const unsigned char* p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}
std::uint16_t le16(const unsigned char* p) { return std::uint16_t(p[0] | p[1] << 8); }
std::uint32_t be32(const unsigned char* p)
{
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

// An end record's comment may be 65,535 bytes long.
constexpr std::uint64_t ziptail = 22 + 0xFFFF;
// Top-level boxes followed before the answer is left to the whole check.
constexpr int boxbudget = 1024;

// The end record the whole check takes (the last one whose comment ends
// the file) and the central directory it names.
bool zipfits(std::uint64_t size, const READER& read)
{
    if (size < 22)
        return false;
    const std::uint64_t length = std::min(size, ziptail);
    std::vector<unsigned char> tail(std::size_t(length), 0);
    if (!read(size - length, tail.size(), tail.data()))
        return false;
    for (std::size_t at = tail.size() - 22;; --at) {
        const unsigned char* e = tail.data() + at;
        if (le32(e) == 0x06054b50 && at + 22 + le16(e + 20) == tail.size()) {
            const std::uint64_t end = size - length + at;
            const std::uint64_t cdsize = le32(e + 12);
            const std::uint64_t cdoffset = le32(e + 16);
            if (le16(e + 10) == 0xFFFF || cdsize == 0xFFFFFFFF || cdoffset == 0xFFFFFFFF)
                return true;  // ZIP64: the sizes are in another record
            return cdoffset <= end && cdsize <= end - cdoffset;
        }
        if (at == 0)
            return false;
    }
}

// Box headers only: 8 bytes, or 16 with a 64-bit size.
bool mp4fits(std::uint64_t size, const READER& read)
{
    std::uint64_t at = 0;
    for (int boxes = 0; at < size; ++boxes) {
        if (boxes == boxbudget)
            return true;
        if (size - at < 8)
            return false;
        unsigned char h[16];
        const std::size_t want = std::size_t(std::min<std::uint64_t>(sizeof h, size - at));
        if (!read(at, want, h))
            return false;
        std::uint64_t box = be32(h);
        std::uint64_t header = 8;
        if (box == 1) {
            if (want < 16)
                return false;
            box = std::uint64_t(be32(h + 8)) << 32 | be32(h + 12);
            header = 16;
        } else if (box == 0) {
            box = size - at;
        }
        for (int i = 4; i < 8; ++i)
            if ((h[i] < 0x20 || h[i] > 0x7E) && h[i] != 0xA9)
                return false;
        if (box < header || box > size - at)
            return false;
        at += box;
    }
    return true;
}

}  // namespace

bool tailfits(family f, std::uint64_t size, const READER& read)
{
    switch (f) {
    case family::zip:
        return zipfits(size, read);
    case family::mp4:
        return mp4fits(size, read);
    default:
        return true;
    }
}

}  // namespace verify
