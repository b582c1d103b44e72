#include "carve/signatures.h"

#include <QByteArray>
#include <QByteArrayView>

#include <cstring>
#include <string_view>

namespace carve {

namespace {

bool startswith(verify::bytes d, std::string_view s)
{
    return d.size() >= s.size() && std::memcmp(d.data(), s.data(), s.size()) == 0;
}

bool at(verify::bytes d, std::size_t offset, std::string_view s)
{
    return d.size() >= offset + s.size() && std::memcmp(d.data() + offset, s.data(), s.size()) == 0;
}

std::uint32_t le32(verify::bytes d, std::size_t offset)
{
    return std::uint32_t(d[offset]) | std::uint32_t(d[offset + 1]) << 8 | std::uint32_t(d[offset + 2]) << 16 |
           std::uint32_t(d[offset + 3]) << 24;
}

verify::family bysignature(verify::bytes h)
{
    using verify::family;
    if (h.size() < headbytes)
        return family::none;
    if (startswith(h, "\xFF\xD8\xFF"))
        return family::jpeg;
    if (startswith(h, "\x89PNG\r\n\x1a\n"))
        return family::png;
    if (startswith(h, "GIF87a") || startswith(h, "GIF89a"))
        return family::gif;
    // "BM" alone is too common: the reserved words are zero and the size
    // of a header a BMP has follows.
    if (startswith(h, "BM") && le32(h, 6) == 0) {
        const std::uint32_t header = le32(h, 14);
        if (header == 12 || header == 40 || header == 52 || header == 56 || header == 64 || header == 108 ||
            header == 124)
            return family::bmp;
    }
    if (startswith(h, "PK\x03\x04"))
        return family::zip;
    if (startswith(h, "\x1f\x8b\x08"))
        return family::gzip;
    if (startswith(h, "%PDF-"))
        return family::pdf;
    if (startswith(h, "RIFF") && (at(h, 8, "WAVE") || at(h, 8, "AVI ") || at(h, 8, "WEBP")))
        return family::riff;
    if (at(h, 4, "ftyp") || at(h, 4, "moov") || at(h, 4, "mdat") || at(h, 4, "wide"))
        return family::mp4;
    if (startswith(h, "ID3"))
        return family::mp3;
    if (startswith(h, "\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1"))
        return family::ole2;
    if (startswith(h, "II*\0") || startswith(h, "MM\0*") || startswith(h, "IIU\0") || startswith(h, "IIRO") ||
        startswith(h, "IIRS") || startswith(h, "MMOR"))
        return family::tiff;
    if (startswith(h, "FUJIFILMCCD-RAW "))
        return family::raf;
    if (at(h, 6, "HEAPCCDR"))
        return family::crw;
    // A stream's first packet is its program association table: PID 0, a
    // payload that starts a section, not scrambled; without an adaptation
    // field, table 0 at pointer 0, else a field that leaves room for it.
    for (const std::size_t sync : {std::size_t(0), std::size_t(4)}) {
        if (h[sync] != 0x47 || (h[sync + 1] & 0xDF) != 0x40 || h[sync + 2] != 0 || (h[sync + 3] & 0xD0) != 0x10)
            continue;
        if ((h[sync + 3] & 0x20) ? h[sync + 4] < 183 : h[sync + 4] == 0 && h[sync + 5] == 0)
            return family::ts;
    }
    return family::none;
}

// UTF-16LE of an ASCII name, as OLE2 directory entries hold it.
QByteArray utf16name(const char* name)
{
    QByteArray out;
    for (const char* p = name; *p; ++p) {
        out.append(*p);
        out.append('\0');
    }
    return out;
}

}  // namespace

verify::family startfamily(verify::bytes head)
{
    const verify::family f = bysignature(head);
    return f != verify::family::none && verify::canbegin(f, head) ? f : verify::family::none;
}

QString extensionof(verify::family f, verify::bytes file)
{
    using verify::family;
    const QByteArrayView all(file.data(), qsizetype(file.size()));
    switch (f) {
    case family::jpeg:
        return QStringLiteral("jpg");
    case family::png:
        return QStringLiteral("png");
    case family::gif:
        return QStringLiteral("gif");
    case family::bmp:
        return QStringLiteral("bmp");
    case family::zip: {
        // OpenDocument and EPUB name their type in a first stored entry
        // "mimetype"; Office Open XML by its part folders.
        if (at(file, 30, "mimetype")) {
            const QByteArrayView rest = all.sliced(38, std::min<qsizetype>(all.size() - 38, 96));
            if (rest.contains("application/vnd.oasis.opendocument.text"))
                return QStringLiteral("odt");
            if (rest.contains("application/vnd.oasis.opendocument.spreadsheet"))
                return QStringLiteral("ods");
            if (rest.contains("application/vnd.oasis.opendocument.presentation"))
                return QStringLiteral("odp");
            if (rest.contains("application/epub+zip"))
                return QStringLiteral("epub");
        }
        if (all.contains("[Content_Types].xml")) {
            if (all.contains("word/document"))
                return QStringLiteral("docx");
            if (all.contains("xl/workbook"))
                return QStringLiteral("xlsx");
            if (all.contains("ppt/presentation"))
                return QStringLiteral("pptx");
        }
        if (all.contains("META-INF/MANIFEST.MF"))
            return QStringLiteral("jar");
        return QStringLiteral("zip");
    }
    case family::gzip:
        return QStringLiteral("gz");
    case family::pdf:
        return QStringLiteral("pdf");
    case family::riff:
        if (at(file, 8, "WAVE"))
            return QStringLiteral("wav");
        if (at(file, 8, "AVI "))
            return QStringLiteral("avi");
        if (at(file, 8, "WEBP"))
            return QStringLiteral("webp");
        return QStringLiteral("riff");
    case family::mp4:
        if (at(file, 4, "ftyp")) {
            if (at(file, 8, "qt  "))
                return QStringLiteral("mov");
            if (at(file, 8, "3gp") || at(file, 8, "3g2"))
                return QStringLiteral("3gp");
            if (at(file, 8, "heic") || at(file, 8, "heix") || at(file, 8, "mif1"))
                return QStringLiteral("heic");
            if (at(file, 8, "avif"))
                return QStringLiteral("avif");
            if (at(file, 8, "M4A "))
                return QStringLiteral("m4a");
            if (at(file, 8, "crx "))
                return QStringLiteral("cr3");
            return QStringLiteral("mp4");
        }
        return QStringLiteral("mov");
    case family::mp3:
        return QStringLiteral("mp3");
    case family::ole2:
        if (all.contains(utf16name("WordDocument")))
            return QStringLiteral("doc");
        if (all.contains(utf16name("Workbook")) || all.contains(utf16name("Book")))
            return QStringLiteral("xls");
        if (all.contains(utf16name("PowerPoint Document")))
            return QStringLiteral("ppt");
        return QStringLiteral("ole");
    case family::tiff:
        return QString::fromStdString(verify::tiffkind(file));
    case family::raf:
        return QStringLiteral("raf");
    case family::crw:
        return QStringLiteral("crw");
    case family::ts:
        return file.size() > 4 && file[4] == 0x47 ? QStringLiteral("mts") : QStringLiteral("ts");
    case family::none:
    case family::text:
        break;
    }
    return QStringLiteral("bin");
}

}  // namespace carve
