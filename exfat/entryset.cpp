#include "exfat/entryset.h"

#include "model/littleendian.h"

#include <QTimeZone>

namespace exfat {

namespace {

std::uint64_t le64(const unsigned char* p) { return std::uint64_t(le32(p)) | std::uint64_t(le32(p + 4)) << 32; }

namespace field {
constexpr int secondarycount = 1;
constexpr int checksum = 2;
constexpr int attributes = 4;
constexpr int created = 8;
constexpr int modified = 12;
constexpr int accessed = 16;
constexpr int created10ms = 20;
constexpr int modified10ms = 21;
constexpr int createdoffset = 22;
constexpr int modifiedoffset = 23;
constexpr int accessedoffset = 24;
// Stream Extension
constexpr int flags = 1;
constexpr int namelength = 3;
constexpr int validlength = 8;
constexpr int firstcluster = 20;
constexpr int datalength = 24;
// File Name
constexpr int name = 2;
}  // namespace field

}  // namespace

std::optional<QDateTime> EXFATTIME::utc() const
{
    const int seconds = int(stamp & 31) * 2 + tenms / 100;
    const int minute = int(stamp >> 5) & 63;
    const int hour = int(stamp >> 11) & 31;
    const int day = int(stamp >> 16) & 31;
    const int month = int(stamp >> 21) & 15;
    const int year = 1980 + int(stamp >> 25);
    const QDate date(year, month, day);
    // Up to 59 whole seconds: 58 and a 10 ms part of up to 1.99 s.
    const QTime time(hour, minute, 0);
    if (!date.isValid() || !time.isValid() || seconds > 59 || tenms > 199)
        return std::nullopt;
    const QTime exact = time.addMSecs(seconds * 1000 + (tenms % 100) * 10);
    if (!(utcoffset & 0x80))
        return QDateTime(date, exact).toUTC();
    // Bits 0-6 as a signed count of quarter hours.
    const int quarters = (utcoffset & 0x40) ? int(utcoffset & 0x7F) - 128 : int(utcoffset & 0x7F);
    return QDateTime(date, exact, QTimeZone(quarters * 15 * 60)).toUTC();
}

std::uint16_t setchecksum(const unsigned char* set, std::uint32_t entries, bool inuse)
{
    std::uint16_t sum = 0;
    const std::uint32_t bytes = entries * entrybytes;
    for (std::uint32_t i = 0; i < bytes; ++i) {
        if (i == 2 || i == 3)
            continue;
        std::uint8_t byte = set[i];
        if (inuse && i % entrybytes == 0)
            byte |= inusebit;
        sum = std::uint16_t(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + byte);
    }
    return sum;
}

QString parseset(const unsigned char* entry, std::uint64_t available, ENTRYSET* out)
{
    const std::uint32_t secondaries = entry[field::secondarycount];
    if (secondaries < 2)
        return QStringLiteral("a secondary count of %1").arg(secondaries);
    if (secondaries >= available)
        return QStringLiteral("its %1 secondary entries run past the end of the directory").arg(secondaries);
    const bool inuse = entry[0] & inusebit;
    const std::uint32_t entries = secondaries + 1;
    // A live set holds live secondaries only; a deleted one takes both, as
    // a driver may clear the File entry alone.
    auto istype = [&](const unsigned char* e, std::uint8_t type) {
        return e[0] == type || (!inuse && e[0] == (type & ~inusebit));
    };
    const unsigned char* stream = entry + entrybytes;
    if (!istype(stream, typestream))
        return QStringLiteral("no stream extension after the file entry");
    const std::uint32_t namelength = stream[field::namelength];
    const std::uint32_t nameentries = (namelength + namecharsperentry - 1) / namecharsperentry;
    if (namelength == 0)
        return QStringLiteral("a name length of 0");
    if (nameentries > secondaries - 1)
        return QStringLiteral("a name length of %1 past its %2 name entries").arg(namelength).arg(secondaries - 1);
    QString name;
    name.reserve(int(namelength));
    for (std::uint32_t k = 0; k < nameentries; ++k) {
        const unsigned char* e = entry + entrybytes * (2 + k);
        if (!istype(e, typename_))
            return QStringLiteral("a name length of %1 past its %2 name entries").arg(namelength).arg(k);
        for (std::uint32_t c = 0; c < namecharsperentry && std::uint32_t(name.size()) < namelength; ++c)
            name.append(QChar(le16(e + field::name + 2 * c)));
    }
    if (le16(entry + field::checksum) != setchecksum(entry, entries, true))
        return QStringLiteral("its set checksum does not match");
    ENTRYSET s;
    s.inuse = inuse;
    s.entries = entries;
    s.attributes = le16(entry + field::attributes);
    s.created = {le32(entry + field::created), entry[field::created10ms], entry[field::createdoffset]};
    s.modified = {le32(entry + field::modified), entry[field::modified10ms], entry[field::modifiedoffset]};
    s.accessed = {le32(entry + field::accessed), 0, entry[field::accessedoffset]};
    s.flags = stream[field::flags];
    s.validlength = le64(stream + field::validlength);
    s.firstcluster = le32(stream + field::firstcluster);
    s.datalength = le64(stream + field::datalength);
    s.name = std::move(name);
    *out = std::move(s);
    return QString();
}

}  // namespace exfat
