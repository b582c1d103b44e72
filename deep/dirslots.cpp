#include "deep/dirslots.h"

#include "fat/direntry.h"
#include "model/fileparm.h"
#include "model/kovcore.h"
#include "names/longname.h"
#include "platform/volumesource.h"
#include "scan/recoveredname.h"

#include <cstring>

namespace deep {

namespace {

constexpr unsigned char maxlongparts = 20;  // 255 characters, 13 a slot

// Attribute bits no entry may carry, and the only one a label carries.
constexpr unsigned char attrreserved = 0xC0;
constexpr unsigned char attrlabel = 0x08;
// Byte 12 of a short entry holds only the lower-case flags of the base
// name (0x08) and the extension (0x10); its other bits are never set.
constexpr int ntcase = 12;
constexpr unsigned char ntcasebits = 0x18;

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

bool validshortslot(const unsigned char* s, const SLOTRULES& rules, std::uint64_t clusterbytes)
{
    const unsigned char attr = s[dirfield::attr];
    if ((attr & attrreserved) || (s[ntcase] & ~ntcasebits))
        return false;
    const bool label = attr & attrlabel;
    if (label && attr != attrlabel)
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
    if (wrtdate != 0 ? !KOVCore::validdate(wrtdate) : !(dots || label))
        return false;
    if (!validtime(le16(s + dirfield::crttime)) || !validtime(le16(s + dirfield::wrttime)) ||
        s[dirfield::crttimetenth] > 199)
        return false;
    const std::uint32_t start = entrystart(s, rules.fat32);
    const std::uint32_t size = le32(s + dirfield::filesize);
    if (start >= rules.fatentries)
        return false;
    if (label)
        return start == 0 && size == 0;
    if (attr & attrdirectory)
        return size == 0 && start != 1;
    const std::uint64_t clusters = rules.fatentries > 2 ? rules.fatentries - 2 : 0;
    if (size > clusters * clusterbytes)
        return false;
    // A file with data has a first cluster. Erasing a FAT32 entry may zero
    // its high word, and the low word left can then be 0 or 1. An empty
    // file's start is 0, or its first cluster when a write never finished.
    const bool highgone = rules.fat32 && s[0] == slotdeleted && le16(s + dirfield::fstclushi) == 0;
    return highgone || (size > 0 ? start >= 2 : start != 1);
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
        if (s[dirfield::attr] == attrlongname ? !validlongslot(s) : !validshortslot(s, rules, size))
            return 0;
        ++used;
    }
    for (std::uint64_t at = used * 32; at < count * 32; ++at)
        if (cluster[at] != 0)
            return 0;
    return std::uint32_t(used);
}


QString safedirectoryname(const QString& name)
{
    QString out;
    out.reserve(name.size());
    for (const QChar c : name) {
        if (c.unicode() < 0x80 && platform::forbiddennamebyte(std::uint8_t(c.unicode())))
            out.append(QChar(u'_'));
        else
            out.append(controlcharacter(c.unicode()) ? visiblecontrol(c.unicode()) : c);
    }
    if (out == QLatin1String(".") || out == QLatin1String("..") || !platform::namefits(out))
        return QString();
    return out;
}

QString directoryname(const unsigned char* table, std::uint32_t index)
{
    const unsigned char* entry = table + std::size_t(index) * 32;
    if (const auto found = entrylongname(table, std::uint64_t(index) + 1, index)) {
        const QString safe = safedirectoryname(found->name);
        if (!safe.isEmpty())
            return safe;
    }

    FAT32DIRENTRY copy;
    std::memcpy(copy.bytes, entry, 32);
    FILEPARM shortentry;
    shortentry.setname(KOVCore::getfatfilename(&copy).toLatin1());
    QByteArray bytes = shortentry.namebytes();
    if (entry[0] == slotdeleted)
        bytes = recoveredname(shortentry);
    else if (!bytes.isEmpty() && bytes[0] == 0x05)
        bytes[0] = char(slotdeleted);
    return safedirectoryname(recoveredfilename(bytes));
}

}  // namespace deep
