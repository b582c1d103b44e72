// Which format a file is: its signature first (through libmagic), its
// extension second.
#include "verify/formats.h"

#include <QHash>
#include <QTemporaryFile>

#include <algorithm>
#include <cstring>
#include <string_view>

#include <magic.h>

namespace verify {

namespace {

// The signatures of the checked families, in magic(5) form. The system's
// full database costs about half a millisecond per file (seconds over a
// card's worth of files) and would only add names of types we cannot check
// anyway, which the extension then decides.
constexpr char signatures[] = R"(0	string	\xff\xd8\xff	JPEG image
!:mime	image/jpeg
0	string	\x89PNG\x0d\x0a\x1a\x0a	PNG image
!:mime	image/png
0	string	GIF87a	GIF image
!:mime	image/gif
0	string	GIF89a	GIF image
!:mime	image/gif
0	string	BM
>6	ulelong	0
>>14	ulelong	<125	BMP image
!:mime	image/bmp
0	string	PK\x03\x04	ZIP archive
!:mime	application/zip
0	string	PK\x05\x06	empty ZIP archive
!:mime	application/zip
0	string	\x1f\x8b\x08	gzip data
!:mime	application/gzip
0	string	%PDF-	PDF document
!:mime	application/pdf
0	string	RIFF	RIFF data
!:mime	application/x-riff
4	string	ftyp	ISO media
!:mime	video/mp4
4	string	moov	QuickTime movie
!:mime	video/quicktime
4	string	mdat	QuickTime movie
!:mime	video/quicktime
4	string	wide	QuickTime movie
!:mime	video/quicktime
0	string	ID3	MP3 audio with ID3v2
!:mime	audio/mpeg
0	beshort&0xFFE6	0xFFE2	MPEG layer III audio
!:mime	audio/mpeg
0	string	\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1	OLE2 compound document
!:mime	application/x-ole-storage
0	string	II*\0	TIFF image
!:mime	image/tiff
0	string	MM\0*	TIFF image
!:mime	image/tiff
0	string	IIU\0	Panasonic RAW image
!:mime	image/tiff
0	string	IIRO	Olympus RAW image
!:mime	image/tiff
0	string	IIRS	Olympus RAW image
!:mime	image/tiff
0	string	MMOR	Olympus RAW image
!:mime	image/tiff
0	string	FUJIFILMCCD-RAW\x20	Fujifilm RAF image
!:mime	image/x-fuji-raf
6	string	HEAPCCDR	Canon CRW image
!:mime	image/x-canon-crw
4	ubelong&0xFFDFFFD0	0x47400010	MPEG transport stream
!:mime	video/mp2t
0	ubelong&0xFFDFFFD0	0x47400010	MPEG transport stream
!:mime	video/mp2t
)";

// One libmagic handle for the process, loaded at first use; null when it
// cannot be loaded (identification then goes by extension only).
magic_t cookie()
{
    static const magic_t handle = [] {
        magic_t m = magic_open(MAGIC_MIME_TYPE | MAGIC_NO_CHECK_BUILTIN);
        if (!m)
            return magic_t(nullptr);
        // magic_load reads text databases from files only.
        QTemporaryFile file;
        if (!file.open() || file.write(signatures, sizeof signatures - 1) != qint64(sizeof signatures - 1) ||
            !file.flush() || magic_load(m, QFile::encodeName(file.fileName()).constData()) != 0) {
            magic_close(m);
            return magic_t(nullptr);
        }
        return m;
    }();
    return handle;
}

family familyofmime(const char* mime)
{
    static const QHash<QByteArray, family> bymime{
        {"image/jpeg", family::jpeg},       {"image/png", family::png},
        {"image/gif", family::gif},         {"image/bmp", family::bmp},
        {"application/zip", family::zip},   {"application/gzip", family::gzip},
        {"application/pdf", family::pdf},   {"application/x-riff", family::riff},
        {"video/mp4", family::mp4},         {"video/quicktime", family::mp4},
        {"audio/mpeg", family::mp3},        {"application/x-ole-storage", family::ole2},
        {"image/tiff", family::tiff},       {"image/x-fuji-raf", family::raf},
        {"image/x-canon-crw", family::crw}, {"video/mp2t", family::ts},
    };
    return mime ? bymime.value(QByteArray(mime), family::none) : family::none;
}

}  // namespace

QString verdictname(verdict v)
{
    switch (v) {
    case verdict::verified:
        return QStringLiteral("verified");
    case verdict::damaged:
        return QStringLiteral("damaged");
    case verdict::plausible:
        return QStringLiteral("plausible");
    default:
        return QStringLiteral("unchecked");
    }
}

family familyofextension(const QString& name)
{
    static const QHash<QString, family> byextension = [] {
        QHash<QString, family> h;
        const auto add = [&h](family f, std::initializer_list<const char*> extensions) {
            for (const char* e : extensions)
                h.insert(QString::fromLatin1(e), f);
        };
        add(family::jpeg, {"jpg", "jpeg", "jpe", "jfif"});
        add(family::png, {"png"});
        add(family::gif, {"gif"});
        add(family::bmp, {"bmp", "dib"});
        add(family::zip, {"zip", "docx", "xlsx", "pptx", "docm", "xlsm", "pptm", "odt", "ods", "odp", "odg",
                          "jar", "apk", "epub", "kmz"});
        add(family::gzip, {"gz", "tgz"});
        add(family::pdf, {"pdf"});
        add(family::riff, {"wav", "avi", "webp", "ani"});
        add(family::mp4, {"mp4", "m4a", "m4v", "mov", "3gp", "3g2", "qt", "heic", "heif", "avif", "cr3"});
        add(family::mp3, {"mp3"});
        add(family::ole2, {"doc", "xls", "ppt", "msg", "dot", "xlt", "pps"});
        add(family::tiff, {"tif", "tiff", "cr2", "nef", "nrw", "arw", "sr2", "srf", "dng", "orf", "rw2", "rwl",
                           "pef", "srw", "3fr", "erf", "iiq", "kdc", "dcr", "mef", "mos"});
        add(family::raf, {"raf"});
        add(family::crw, {"crw"});
        // Not ".ts": TypeScript sources take it too; a stream is known by its first packet.
        add(family::ts, {"mts", "m2ts", "m2t"});
        add(family::text, {"txt", "csv", "tsv", "htm", "html", "xml", "json", "ini", "log", "md", "c", "h",
                           "cpp", "hpp", "cc", "py", "js", "css", "java", "sh", "bat", "cmd", "tex", "rtf",
                           "yml", "yaml", "svg", "srt", "nfo", "cfg", "conf", "pas", "asm", "bas"});
        return h;
    }();
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot < 0 || dot + 1 == name.size() || name.indexOf(QLatin1Char('/'), dot) >= 0)
        return family::none;
    return byextension.value(name.mid(dot + 1).toLower(), family::none);
}

family identify(bytes head, const QString& name)
{
    if (magic_t m = cookie(); m && !head.empty()) {
        const family f = familyofmime(magic_buffer(m, head.data(), std::min<std::size_t>(head.size(), 64)));
        if (f != family::none)
            return f;
    }
    return familyofextension(name);
}

std::size_t paddinglimit(std::uint32_t clusterbytes)
{
    constexpr std::size_t most = 4096;
    return clusterbytes == 0 ? most : std::min<std::size_t>(most, clusterbytes - 1);
}

bool canbegin(family f, bytes head)
{
    head = head.first(std::min<std::size_t>(head.size(), 16));
    switch (f) {
    case family::jpeg:
        return startswith(head, "\xFF\xD8\xFF");
    case family::png:
        return startswith(head, "\x89PNG\r\n\x1a\n");
    case family::gif:
        return startswith(head, "GIF87a") || startswith(head, "GIF89a");
    case family::bmp:
        return startswith(head, "BM");
    case family::zip:
        return startswith(head, "PK\x03\x04") || startswith(head, "PK\x05\x06");
    case family::gzip:
        // zlib takes only deflate (8) and no reserved flag bits.
        return startswith(head, "\x1f\x8b") && (head.size() < 3 || head[2] == 8) &&
               (head.size() < 4 || (head[3] & 0xE0) == 0);
    case family::pdf:
        return startswith(head, "%PDF-");
    case family::riff:
        return startswith(head, "RIFF");
    case family::mp4:
        return mp4start(head);
    case family::mp3:
        return mp3start(head);
    case family::ole2:
        return startswith(head, "\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1");
    case family::text:
        return textstart(head);
    case family::tiff:
        return tiffstart(head);
    case family::raf:
        return head.size() < 16 || startswith(head, "FUJIFILMCCD-RAW ");
    case family::crw:
        return ciffstart(head);
    case family::ts:
        return tsstart(head);
    case family::none:
        return true;
    }
    return true;
}

bool blindtoforeign(family f)
{
    switch (f) {
    case family::bmp:
    case family::gif:
    case family::riff:
    case family::mp4:
    case family::mp3:
    case family::pdf:
    case family::ole2:
    case family::text:
    case family::tiff:
    case family::raf:
    case family::crw:
    case family::ts:
        return true;
    case family::none:
    case family::jpeg:
    case family::png:
    case family::zip:
    case family::gzip:
        return false;
    }
    return true;
}

verdict check(family f, bytes data, std::uint32_t clusterbytes, RECALL* recall)
{
    FINDING found;
    // The families whose writers may pad a file past its structure.
    bool padded = false;
    switch (f) {
    case family::none:
        return verdict::unchecked;
    case family::jpeg:
        found = readjpeg(data, 0, recall);
        padded = true;
        break;
    case family::png:
        found = readpng(data);
        break;
    case family::gif:
        found = readgif(data);
        break;
    case family::bmp:
        found = readbmp(data);
        break;
    case family::zip:
        found = readzip(data);
        break;
    case family::gzip:
        found = readgzip(data);
        padded = true;
        break;
    case family::pdf:
        found = readpdf(data);
        break;
    case family::riff:
        found = readriff(data);
        break;
    case family::mp4:
        found = readmp4(data);
        break;
    case family::mp3:
        found = readmp3(data);
        break;
    case family::ole2:
        found = readole2(data);
        break;
    case family::text:
        found = readtext(data);
        break;
    case family::tiff:
        found = readtiff(data);
        break;
    case family::raf:
        found = readraf(data);
        break;
    case family::crw:
        found = readciff(data);
        break;
    case family::ts:
        found = readts(data);
        break;
    }
    if (found.v != verdict::verified || found.end == data.size())
        return found.v;
    if (!padded || found.end > data.size() || data.size() - found.end > paddinglimit(clusterbytes))
        return verdict::damaged;
    const bytes rest = data.subspan(found.end);
    return std::all_of(rest.begin(), rest.end(), [](unsigned char b) { return b == 0x00 || b == 0xFF; })
               ? verdict::verified
               : verdict::damaged;
}

}  // namespace verify
