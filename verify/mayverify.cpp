// The cheap facts of each family's structure, read through a few small
// reads, that rule out a candidate before it is read whole. Each fact is
// one that the family's reader requires, so that a file it verifies always
// passes here.
#include "verify/formats.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace verify {

namespace {

// Reads of at most this many boxes or RIFF parts; past them the answer is
// "maybe".
constexpr int fewreads = 64;

struct SOURCE {
    std::uint64_t size;
    const reader& read;
    // Bytes at offset, length of them; empty when out of the file or unread.
    std::vector<unsigned char> at(std::uint64_t offset, std::size_t length) const
    {
        if (offset > size || size - offset < length)
            return {};
        std::vector<unsigned char> out(length);
        if (!read(offset, std::span<unsigned char>(out)))
            return {};
        return out;
    }
};

bool zipend(const SOURCE& s)
{
    // The end record and its comment close the file.
    const std::size_t tail = std::size_t(std::min<std::uint64_t>(s.size, 22 + 0xFFFF));
    const std::vector<unsigned char> t = s.at(s.size - tail, tail);
    if (t.empty())
        return false;
    const bytes b(t);
    std::size_t end = tail;
    for (std::size_t at = tail - 22 + 1; at-- > 0;) {
        if (le32(b, at) == 0x06054b50 && at + 22 + le16(b, at + 20) == tail) {
            end = at;
            break;
        }
    }
    if (end == tail)
        return false;
    const std::uint64_t endat = s.size - tail + end;
    std::uint64_t count = le16(b, end + 10);
    std::uint64_t cdsize = le32(b, end + 12);
    std::uint64_t cdoffset = le32(b, end + 16);
    std::uint64_t cdend = endat;
    if (endat >= 20) {
        const std::vector<unsigned char> locator = s.at(endat - 20, 20);
        if (locator.empty())
            return false;
        if (le32(bytes(locator), 0) == 0x07064b50) {
            const std::uint64_t record = le64(bytes(locator), 8);
            const std::vector<unsigned char> r = s.at(record, 56);
            if (record > endat - 20 || endat - 20 - record < 56 || r.empty() || le32(bytes(r), 0) != 0x06064b50)
                return false;
            count = le64(bytes(r), 32);
            cdsize = le64(bytes(r), 40);
            cdoffset = le64(bytes(r), 48);
            cdend = record;
        }
    }
    if (cdoffset > cdend || cdend - cdoffset != cdsize)
        return false;
    if (count == 0)
        return cdsize == 0;
    const std::vector<unsigned char> first = s.at(cdoffset, 4);
    return !first.empty() && le32(bytes(first), 0) == 0x02014b50;
}

bool riffparts(const SOURCE& s)
{
    std::uint64_t part = 0;
    for (int n = 0; n < fewreads; ++n) {
        const std::vector<unsigned char> h = s.at(part, 12);
        if (h.empty() || !matchat(bytes(h), 0, "RIFF") || (part != 0 && !matchat(bytes(h), 8, "AVIX")))
            return false;
        const std::uint64_t partend = part + 8 + le32(bytes(h), 4);
        if (partend > s.size)
            return false;
        const std::uint64_t next = partend + (partend & 1);
        if (next >= s.size)
            return true;
        if (n == 0 && !matchat(bytes(h), 8, "AVI "))
            return false;  // only an AVI goes on past its first part
        part = next;
    }
    return true;
}

bool mp4boxes(const SOURCE& s)
{
    std::uint64_t at = 0;
    bool movie = false;
    bool meta = false;
    for (int n = 0; n < fewreads; ++n) {
        if (at == s.size)
            return movie || meta;  // a meta box does for the image brands only: maybe
        const std::vector<unsigned char> h = s.at(at, std::size_t(std::min<std::uint64_t>(16, s.size - at)));
        if (h.size() < 8 || !boxtype(h.data() + 4))
            return false;
        std::uint64_t size = be32(bytes(h), 0);
        std::uint64_t header = 8;
        if (size == 1) {
            if (h.size() < 16)
                return false;
            size = be64(bytes(h), 8);
            header = 16;
        } else if (size == 0) {
            size = s.size - at;
        }
        if (size < header || size > s.size - at)
            return false;
        movie = movie || matchat(bytes(h), 4, "moov");
        meta = meta || matchat(bytes(h), 4, "meta");
        at += size;
    }
    return true;
}

bool mp3frames(const SOURCE& s)
{
    // Past the ID3v2 tags, one tag header at a time, to a frame header.
    std::uint64_t at = 0;
    for (int n = 0; n < fewreads; ++n) {
        const std::vector<unsigned char> h = s.at(at, std::size_t(std::min<std::uint64_t>(10, s.size - at)));
        if (h.size() < 10 || !matchat(bytes(h), 0, "ID3"))
            return h.size() >= 4 && mp3start(bytes(h)) && !matchat(bytes(h), 0, "ID3");
        if ((h[6] | h[7] | h[8] | h[9]) & 0x80)
            return false;
        at += 10 + (std::uint64_t(h[6]) << 21 | std::uint64_t(h[7]) << 14 | std::uint64_t(h[8]) << 7 | h[9]) +
              ((h[5] & 0x10) ? 10 : 0);
        if (at >= s.size)
            return false;
    }
    return true;
}

bool ole2header(const SOURCE& s)
{
    const std::vector<unsigned char> h = s.at(0, 512);
    if (h.empty())
        return false;
    const bytes b(h);
    const unsigned shift = le16(b, 30);
    if (le16(b, 28) != 0xFFFE || !((shift == 9 && le16(b, 26) == 3) || (shift == 12 && le16(b, 26) == 4)) ||
        le16(b, 32) != 6)
        return false;
    const std::uint64_t sector = std::uint64_t(1) << shift;
    return s.size >= sector && le32(b, 44) <= (s.size - sector) / sector;
}

bool textends(const SOURCE& s)
{
    const std::size_t piece = std::size_t(std::min<std::uint64_t>(s.size, 4096));
    const std::vector<unsigned char> first = s.at(0, piece);
    if (first.empty() && piece != 0)
        return false;
    const bool utf16 = startswith(bytes(first), "\xFF\xFE") || startswith(bytes(first), "\xFE\xFF");
    if (utf16 && s.size % 2 != 0)
        return false;
    if (!textstart(bytes(first)))
        return false;
    // The last piece, whole code units of the same order after the mark.
    std::uint64_t from = s.size - piece;
    if (utf16 && from % 2 != 0)
        ++from;
    std::vector<unsigned char> last = s.at(from, std::size_t(s.size - from));
    if (last.empty() && from != s.size)
        return false;
    if (utf16) {
        last.insert(last.begin(), first.begin(), first.begin() + 2);
        return textstart(bytes(last));
    }
    return textstart(bytes(last));
}

}  // namespace

bool mayverify(family f, std::uint64_t size, const reader& read)
{
    const SOURCE s{size, read};
    const std::size_t headsize = std::size_t(std::min<std::uint64_t>(size, 16));
    const std::vector<unsigned char> head = s.at(0, headsize);
    if ((head.empty() && headsize != 0) || !canbegin(f, bytes(head)))
        return false;
    const auto last = [&s](std::size_t n) { return s.size < n ? std::vector<unsigned char>() : s.at(s.size - n, n); };
    switch (f) {
    case family::png: {
        const std::vector<unsigned char> t = last(12);
        return !t.empty() && std::memcmp(t.data(), "\0\0\0\0IEND\xAE\x42\x60\x82", 12) == 0;
    }
    case family::gif: {
        const std::vector<unsigned char> t = last(1);
        return !t.empty() && t[0] == 0x3B;
    }
    case family::bmp:
        return head.size() >= 6 && le32(bytes(head), 2) == size;
    case family::zip:
        return zipend(s);
    case family::riff:
        return riffparts(s);
    case family::mp4:
        return mp4boxes(s);
    case family::mp3:
        return mp3frames(s);
    case family::pdf: {
        const std::vector<unsigned char> t = last(std::size_t(std::min<std::uint64_t>(size, 1024)));
        const std::string_view text(reinterpret_cast<const char*>(t.data()), t.size());
        return text.find("%%EOF") != std::string_view::npos;
    }
    case family::ole2:
        return ole2header(s);
    case family::text:
        return textends(s);
    default:
        return true;
    }
}

}  // namespace verify
