// Short names, date tests and date text of directory entries.
#include "model/kovcore.h"

namespace {

QString shortname(const DIRENTRYBYTES* entry)
{
    QString text;
    text.reserve(12);
    for (int i = 0; i < 8; ++i)
        text.append(QChar::fromLatin1(char(entry->bytes[dirfield::name + i])));
    text.append(QLatin1Char('.'));
    for (int i = 0; i < 3; ++i)
        text.append(QChar::fromLatin1(char(entry->bytes[dirfield::ext + i])));
    text.remove(QLatin1Char(' '));
    if (text.size() >= 2 && text.endsWith(QLatin1Char('.')) && !text.startsWith(QLatin1Char('.')))
        text.chop(1);
    return text;
}

}  // namespace

QString KOVCore::getfatfilename(const FAT32DIRENTRY* entry) { return shortname(entry); }

QString KOVCore::getfatfilename(const FAT16DIRENTRY* entry) { return shortname(entry); }

bool KOVCore::validdate(std::uint16_t date)
{
    const int year = (date >> 9) + 1980;
    const int month = (date >> 5) & 0x0F;
    const int day = date & 0x1F;
    return year >= 1980 && year <= 2038 && month >= 1 && month <= 12 && day >= 1 && day <= 31;
}

QString KOVCore::fatfiletime2str(std::uint64_t stamp)
{
    const std::uint16_t date = std::uint16_t(stamp >> 32);
    return QStringLiteral("%1/%2,%3").arg((date >> 5) & 0x0F).arg(date & 0x1F).arg((date >> 9) + 1980);
}
