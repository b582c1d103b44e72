#include "deep/dirslots.h"

#include "fat/direntry.h"
#include "model/fileparm.h"
#include "model/kovcore.h"
#include "platform/volumesource.h"
#include "scan/recoveredname.h"

#include <cstring>

namespace deep {

namespace {

constexpr unsigned char maxlongparts = 20;  // 255 characters, 13 a slot

bool validtime(std::uint16_t time) { return (time >> 11) < 24 && ((time >> 5) & 0x3F) < 60 && (time & 0x1F) < 30; }

bool shortnamebyte(unsigned char c, int at)
{
    if (at == 0 && (c == slotdeleted || c == 0x05))
        return true;
    if (c < 0x20 || c == 0x7F || (c >= 'a' && c <= 'z') || (at == 0 && c == ' '))
        return false;
    return std::strchr("\"*+,./:;<=>?[\\]|", c) == nullptr;
}

bool validlongslot(const unsigned char* s)
{
    const unsigned char order = s[0] & 0xBF;
    return (s[0] == slotdeleted || (order >= 1 && order <= maxlongparts)) && s[12] == 0 && le16(s + 26) == 0;
}

bool validshortslot(const unsigned char* s, const SLOTRULES& rules)
{
    const unsigned char attr = s[dirfield::attr];
    if (attr & 0xC0)
        return false;
    const bool dots = dotentry(s, 1) || dotentry(s, 2);
    if (dots && !(attr & attrdirectory))
        return false;
    for (int i = 0; i < 11 && !dots; ++i)
        if (!shortnamebyte(s[i], i))
            return false;
    const std::uint16_t crtdate = le16(s + dirfield::crtdate);
    const std::uint16_t accdate = le16(s + 18);
    const std::uint16_t wrtdate = le16(s + dirfield::wrtdate);
    if ((crtdate != 0 && !KOVCore::validdate(crtdate)) || (accdate != 0 && !KOVCore::validdate(accdate)))
        return false;
    // Labels, and the dot entries some systems write, carry no dates.
    if (wrtdate != 0 ? !KOVCore::validdate(wrtdate) : !(dots || (attr & 0x08)))
        return false;
    if (!validtime(le16(s + dirfield::crttime)) || !validtime(le16(s + dirfield::wrttime)) ||
        s[dirfield::crttimetenth] > 199)
        return false;
    const std::uint32_t start = entrystart(s, rules.fat32);
    if (start == 1 || start >= rules.fatentries)
        return false;
    return !(attr & attrdirectory) || le32(s + dirfield::filesize) == 0;
}

}  // namespace

bool dotentry(const unsigned char* slot, int dots)
{
    static const char* const names[] = {".          ", "..         "};
    return std::memcmp(slot, names[dots - 1], 11) == 0;
}

std::uint32_t entrystart(const unsigned char* slot, bool fat32)
{
    return (fat32 ? std::uint32_t(le16(slot + dirfield::fstclushi)) << 16 : 0) | le16(slot + dirfield::fstcluslo);
}

std::uint32_t directoryslots(const unsigned char* cluster, std::uint64_t size, const SLOTRULES& rules)
{
    const std::uint64_t count = size / 32;
    if (count == 0 || cluster[0] == slotempty)
        return 0;
    std::uint64_t used = 0;
    while (used < count && cluster[used * 32] != slotempty) {
        const unsigned char* s = cluster + used * 32;
        if (s[dirfield::attr] == attrlongname ? !validlongslot(s) : !validshortslot(s, rules))
            return 0;
        ++used;
    }
    for (std::uint64_t at = used * 32; at < count * 32; ++at)
        if (cluster[at] != 0)
            return 0;
    return std::uint32_t(used);
}

std::uint8_t shortnamechecksum(const unsigned char* name)
{
    std::uint8_t sum = 0;
    for (int i = 0; i < 11; ++i)
        sum = std::uint8_t(((sum & 1) << 7) + (sum >> 1) + name[i]);
    return sum;
}

QString safedirectoryname(const QString& name)
{
    QString out;
    out.reserve(name.size());
    for (const QChar c : name)
        out.append(c.unicode() < 0x80 && platform::forbiddennamebyte(std::uint8_t(c.unicode())) ? QChar(u'_') : c);
    if (out == QLatin1String(".") || out == QLatin1String(".."))
        return QString();
    return out;
}

QString directoryname(const unsigned char* table, std::uint32_t index)
{
    const unsigned char* entry = table + std::size_t(index) * 32;
    unsigned char name[11];
    std::memcpy(name, entry, 11);
    const bool erased = name[0] == slotdeleted;

    // The long name, part 1 right before the entry, at most 20 parts.
    static const int charat[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    QString longname;
    bool ended = false;
    for (std::uint32_t part = 1; part <= maxlongparts && part <= index && !ended; ++part) {
        const unsigned char* s = table + std::size_t(index - part) * 32;
        if (s[dirfield::attr] != attrlongname || (!erased && (s[0] & 0x3F) != part))
            break;
        if (part == 1 && erased) {
            // The erased byte is the one that makes the checksum match,
            // taken from the long name's first character.
            const char16_t first = char16_t(le16(s + 1));
            if (first >= 0x80)
                break;
            name[0] = std::uint8_t(QChar(first).toUpper().unicode());
        }
        if (s[13] != shortnamechecksum(name))
            break;
        for (const int at : charat) {
            const char16_t c = char16_t(le16(s + at));
            if (c == 0) {
                ended = true;
                break;
            }
            longname.append(QChar(c));
        }
        if (!erased && (s[0] & 0x40))
            ended = true;
    }
    if (ended || (erased && !longname.isEmpty() && index >= 1)) {
        const QString safe = safedirectoryname(longname);
        if (!safe.isEmpty())
            return safe;
    }

    FAT32DIRENTRY copy;
    std::memcpy(copy.bytes, entry, 32);
    FILEPARM shortentry;
    shortentry.setname(KOVCore::getfatfilename(&copy).toLatin1());
    QByteArray bytes = shortentry.namebytes();
    if (erased)
        bytes = recoveredname(shortentry);
    else if (!bytes.isEmpty() && bytes[0] == 0x05)
        bytes[0] = char(slotdeleted);
    return safedirectoryname(recoveredfilename(bytes));
}

}  // namespace deep
