#include "scan/recoveredname.h"

#include "model/fileparm.h"
#include "platform/volumesource.h"


#include <algorithm>
#include <array>
#include <cstring>
#include <iconv.h>

QByteArray recoveredname(const FILEPARM& file)
{
    char buffer[13] = {};
    if (file.name)
        std::memcpy(buffer, file.name.get(), std::min<std::size_t>(std::size_t(file.namelen), 12));
    buffer[0] = 'k';
    if (static_cast<unsigned char>(buffer[1]) >= 0x80)
        buffer[1] = 'o';
    return QByteArray(buffer);
}

namespace {

// The characters of bytes 0x80..0xFF in code page 437, converted once by
// iconv. A byte iconv cannot convert stays its Latin-1 character.
const std::array<QChar, 128>& cp437upper()
{
    static const std::array<QChar, 128> table = [] {
        std::array<QChar, 128> out;
        iconv_t cd = iconv_open("UTF-16LE", "CP437");
        for (int i = 0; i < 128; ++i) {
            out[std::size_t(i)] = QChar::fromLatin1(char(0x80 + i));
            if (cd == iconv_t(-1))
                continue;
            char in = char(0x80 + i);
            char* inp = &in;
            std::size_t inleft = 1;
            unsigned char utf16[4];
            char* outp = reinterpret_cast<char*>(utf16);
            std::size_t outleft = sizeof utf16;
            if (iconv(cd, &inp, &inleft, &outp, &outleft) != std::size_t(-1) && outleft == 2)
                out[std::size_t(i)] = QChar(char16_t(utf16[0] | utf16[1] << 8));
        }
        if (cd != iconv_t(-1))
            iconv_close(cd);
        return out;
    }();
    return table;
}

}  // namespace

QString recoveredfilename(const QByteArray& recovered)
{
    QString name;
    name.reserve(recovered.size());
    for (char c : recovered) {
        const unsigned char byte = static_cast<unsigned char>(c);
        const QChar ch = byte >= 0x80 ? cp437upper()[byte - 0x80] : QLatin1Char(c);
        if (platform::forbiddennamebyte(byte))
            name.append(QLatin1Char('_'));
        else
            name.append(controlcharacter(ch.unicode()) ? visiblecontrol(ch.unicode()) : ch);
    }
    return name;
}

bool controlcharacter(char16_t c) { return c < 0x20 || (c >= 0x7F && c < 0xA0); }

QChar visiblecontrol(char16_t c)
{
    if (c < 0x20)
        return QChar(char16_t(0x2400 + c));
    return QChar(c == 0x7F ? char16_t(0x2421) : char16_t(0xFFFD));
}

QString firstfreepath(const std::function<QString()>& next) { return firstfreename(next, platform::pathstate); }

QString firstfreename(const std::function<QString()>& next,
                      const std::function<platform::PathState(const QString&)>& test)
{
    for (int n = 0; n < namesearchlimit; ++n) {
        const QString path = next();
        if (path.isEmpty())
            return QString();
        switch (test(path)) {
        case platform::PathState::free:
            return path;
        case platform::PathState::unknown:
            return QString();
        case platform::PathState::taken:
            break;
        }
    }
    return QString();
}

QString safename(const QString& longname)
{
    QString out = longname;
    for (QChar& c : out)
        if (c.unicode() < 0x80 && platform::forbiddennamebyte(static_cast<unsigned char>(c.unicode())))
            c = QLatin1Char('_');
        else if (controlcharacter(c.unicode()))
            c = visiblecontrol(c.unicode());
    if (std::all_of(out.cbegin(), out.cend(), [](QChar c) { return c == QLatin1Char('.'); }))
        out.fill(QLatin1Char('_'));
    return out;
}

QString numberedname(const QString& name, int n)
{
    return n == 0 ? name : name + QLatin1Char('(') + QString::number(n) + QLatin1Char(')');
}

QString freetargetpath(const QString& dir, const QString& name)
{
    const QString base = dir + name;
    int n = 0;
    return firstfreepath([&] { return numberedname(base, n++); });
}
