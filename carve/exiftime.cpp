#include "carve/exiftime.h"

#include <cstring>

namespace carve {

namespace {

// The TIFF structure of an Exif segment or a RAW file in either byte
// order; every offset is held against its size.
struct TIFF {
    verify::bytes d;
    bool big = false;
    std::uint32_t u16(std::size_t at) const
    {
        return big ? std::uint32_t(d[at]) << 8 | d[at + 1] : std::uint32_t(d[at]) | std::uint32_t(d[at + 1]) << 8;
    }
    std::uint32_t u32(std::size_t at) const
    {
        return big ? u16(at) << 16 | u16(at + 2) : u16(at) | u16(at + 2) << 16;
    }
    // The value offset of tag in the IFD at ifd; 0 when absent.
    std::uint32_t find(std::uint32_t ifd, std::uint32_t tag, std::uint32_t* count) const
    {
        if (ifd < 8 || std::size_t(ifd) + 2 > d.size())
            return 0;
        const std::uint32_t entries = u16(ifd);
        for (std::uint32_t i = 0; i < entries; ++i) {
            const std::size_t e = std::size_t(ifd) + 2 + 12 * std::size_t(i);
            if (e + 12 > d.size())
                return 0;
            if (u16(e) == tag) {
                *count = u32(e + 4);
                // An ASCII value of up to four bytes lies in the entry.
                return *count <= 4 && u16(e + 2) == 2 ? std::uint32_t(e + 8) : u32(e + 8);
            }
        }
        return 0;
    }
    // An ASCII value of tag in the IFD at ifd, up to its first NUL; empty when absent.
    QByteArray text(std::uint32_t ifd, std::uint32_t tag) const
    {
        std::uint32_t count = 0;
        const std::uint32_t at = find(ifd, tag, &count);
        if (at == 0 || count > 256 || std::size_t(at) + count > d.size())
            return {};
        const QByteArray all(reinterpret_cast<const char*>(d.data() + at), qsizetype(count));
        return all.left(all.indexOf('\0') < 0 ? all.size() : all.indexOf('\0'));
    }
};

// Two decimal digits at p; -1 when they are not digits.
int digits(const unsigned char* p, int n)
{
    int v = 0;
    for (int i = 0; i < n; ++i) {
        if (p[i] < '0' || p[i] > '9')
            return -1;
        v = v * 10 + (p[i] - '0');
    }
    return v;
}

// The TIFF structure at the start of d (byte order, 42 or a RAW variant's
// magic, IFD0's offset).
std::optional<TIFF> tiffat(verify::bytes d)
{
    if (d.size() < 8 || !((d[0] == 'I' && d[1] == 'I') || (d[0] == 'M' && d[1] == 'M')))
        return std::nullopt;
    return TIFF{d, d[0] == 'M'};
}

// The time and camera of IFD0 at ifd0 in t and of the EXIF IFD at sub in e.
std::optional<PHOTOTIME> shottime(const TIFF& t, std::uint32_t ifd0, const TIFF& e, std::uint32_t sub)
{
    std::uint32_t count = 0;
    const std::uint32_t value = e.find(sub, 0x9003, &count);
    if (value == 0 || count < 19 || std::size_t(value) + 19 > e.d.size())
        return std::nullopt;
    const unsigned char* s = e.d.data() + value;
    const int year = digits(s, 4), month = digits(s + 5, 2), day = digits(s + 8, 2);
    const int hour = digits(s + 11, 2), minute = digits(s + 14, 2), second = digits(s + 17, 2);
    if (year < 1980 || year > 2107 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 ||
        minute < 0 || minute > 59 || second < 0 || second > 59)
        return std::nullopt;
    PHOTOTIME p;
    p.oddsecond = second % 2 != 0;
    const std::uint64_t date = std::uint64_t(year - 1980) << 9 | std::uint64_t(month) << 5 | std::uint64_t(day);
    const std::uint64_t time = std::uint64_t(hour) << 11 | std::uint64_t(minute) << 5 | std::uint64_t(second / 2);
    p.stamp = date << 32 | time;
    const QByteArray serial = e.text(sub, 0xA431);
    p.key = QByteArray(reinterpret_cast<const char*>(s), 19) + '.' + e.text(sub, 0x9291) + '/' +
            (serial.isEmpty() ? t.text(ifd0, 271) + '/' + t.text(ifd0, 272) : serial);
    return p;
}

std::optional<PHOTOTIME> tifftime(const TIFF& t)
{
    std::uint32_t count = 0;
    const std::uint32_t ifd0 = t.u32(4);
    return shottime(t, ifd0, t, t.find(ifd0, 0x8769, &count));
}

std::uint32_t be32(verify::bytes d, std::size_t at)
{
    return std::uint32_t(d[at]) << 24 | std::uint32_t(d[at + 1]) << 16 | std::uint32_t(d[at + 2]) << 8 | d[at + 3];
}

// The contents of the first box of type among the boxes of d, and for a
// uuid box, of that uuid; empty when there is none.
verify::bytes box(verify::bytes d, const char* type, const unsigned char* uuid = nullptr)
{
    const std::size_t skip = uuid ? 16 : 0;
    std::size_t at = 0;
    // Each box takes at least its 8-byte header.
    while (d.size() - at >= 8) {
        std::uint64_t size = be32(d, at);
        std::size_t header = 8;
        if (size == 1 && d.size() - at >= 16) {
            size = std::uint64_t(be32(d, at + 8)) << 32 | be32(d, at + 12);
            header = 16;
        } else if (size == 0) {
            size = d.size() - at;
        }
        if (size < header + skip || size > d.size() - at)
            return {};
        if (std::memcmp(d.data() + at + 4, type, 4) == 0 && (!uuid || std::memcmp(d.data() + at + header, uuid, 16) == 0))
            return d.subspan(at + header + skip, std::size_t(size) - header - skip);
        at += std::size_t(size);
    }
    return {};
}

// A CR3's Canon box in its movie box holds CMT1, a TIFF of IFD0, and
// CMT2, one whose IFD0 is the EXIF IFD.
std::optional<PHOTOTIME> cr3time(verify::bytes file)
{
    static constexpr unsigned char canon[16] = {0x85, 0xc0, 0xb6, 0x87, 0x82, 0x0f, 0x11, 0xe0,
                                                0x81, 0x11, 0xf4, 0xce, 0x46, 0x2b, 0x6a, 0x48};
    const verify::bytes own = box(box(file, "moov"), "uuid", canon);
    const auto main = tiffat(box(own, "CMT1"));
    const auto exif = tiffat(box(own, "CMT2"));
    if (!main || !exif)
        return std::nullopt;
    return shottime(*main, main->u32(4), *exif, exif->u32(4));
}

// The TIFF data of a JPEG's APP1 Exif segment, among the segments before the first scan.
std::optional<TIFF> jpegexif(verify::bytes jpeg)
{
    std::size_t at = 2;
    while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF) {
        const unsigned char marker = jpeg[at + 1];
        if (marker == 0xDA || marker == 0xD9)
            break;
        const std::size_t length = std::size_t(jpeg[at + 2]) << 8 | jpeg[at + 3];
        if (length < 2 || at + 2 + length > jpeg.size())
            break;
        if (marker == 0xE1 && length >= 16 && std::memcmp(jpeg.data() + at + 4, "Exif\0\0", 6) == 0)
            return tiffat(jpeg.subspan(at + 10, length - 8));
        at += 2 + length;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::uint64_t> exiftakentime(verify::bytes jpeg, bool* oddsecond)
{
    const auto t = jpegexif(jpeg);
    const auto p = t ? tifftime(*t) : std::nullopt;
    if (!p)
        return std::nullopt;
    if (oddsecond)
        *oddsecond = p->oddsecond;
    return p->stamp;
}

std::optional<PHOTOTIME> phototime(verify::family f, verify::bytes file)
{
    std::optional<TIFF> t;
    if (f == verify::family::jpeg)
        t = jpegexif(file);
    else if (f == verify::family::tiff)
        t = tiffat(file);
    else if (f == verify::family::raf)
        t = jpegexif(verify::rafjpeg(file));
    else if (f == verify::family::mp4 && file.size() >= 12 && std::memcmp(file.data() + 8, "crx ", 4) == 0)
        return cr3time(file);
    return t ? tifftime(*t) : std::nullopt;
}

}  // namespace carve
