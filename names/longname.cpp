#include "names/longname.h"

#include "fat/direntry.h"

#include <cstring>

namespace {

// Characters a short name may begin with: upper-case letters, digits, the
// allowed punctuation and bytes of the OEM code page.
bool shortnamefirst(unsigned char c)
{
    if (c >= 0x80)
        return c != 0xE5;  // 0xE5 itself is stored as 0x05
    if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == 0x05)
        return true;
    return std::strchr("$%'-_@~`!(){}^#&", c) != nullptr && c != 0;
}

// Offsets of the 13 UTF-16 units of a long-name slot.
constexpr int unitoffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
constexpr std::uint64_t maxparts = 20;  // 255 characters

// The text of a long name's UTF-16 units; none when empty or holding an
// unpaired surrogate (not a name any system wrote).
std::optional<LONGNAME> named(const std::u16string& units, unsigned char first)
{
    if (units.empty())
        return std::nullopt;
    const QString text = QString::fromUtf16(units.data(), qsizetype(units.size()));
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
            ++i;
        else if (text[i].isSurrogate())
            return std::nullopt;
    }
    return LONGNAME{text, first};
}

}  // namespace

std::uint8_t shortnamechecksum(const unsigned char* name11)
{
    std::uint8_t sum = 0;
    for (int i = 0; i < 11; ++i)
        sum = std::uint8_t(((sum & 1) << 7) + (sum >> 1) + name11[i]);
    return sum;
}

std::optional<LONGNAME> deletedlongname(const unsigned char* dirslots, std::uint64_t slotcount, std::uint64_t entry)
{
    if (!dirslots || entry == 0 || entry >= slotcount)
        return std::nullopt;
    const unsigned char* shortentry = dirslots + entry * 32;
    const unsigned char* nearest = shortentry - 32;
    if (nearest[dirfield::attr] != attrlongname || nearest[0] != slotdeleted)
        return std::nullopt;
    // Each first byte gives a different checksum (every step of the sum is
    // a bijection of the one before), so at most one byte matches.
    const std::uint8_t wanted = nearest[13];
    unsigned char name[11];
    std::memcpy(name, shortentry, 11);
    std::optional<unsigned char> first;
    for (int c = 1; c < 256 && !first; ++c) {
        name[0] = static_cast<unsigned char>(c);
        if (shortnamechecksum(name) == wanted)
            first = static_cast<unsigned char>(c);
    }
    if (!first || !shortnamefirst(*first))
        return std::nullopt;
    if (*first == 0x05)
        first = 0xE5;  // a name starting with 0xE5 keeps 0x05 there

    std::u16string units;
    bool ended = false;
    for (std::uint64_t part = 0; part < maxparts && part < entry && !ended; ++part) {
        const unsigned char* slot = shortentry - 32 * (part + 1);
        if (slot[dirfield::attr] != attrlongname || slot[0] != slotdeleted || slot[13] != wanted ||
            slot[12] != 0 || slot[26] != 0 || slot[27] != 0)
            break;
        for (int offset : unitoffsets) {
            const char16_t u = char16_t(slot[offset] | slot[offset + 1] << 8);
            if (ended) {
                if (u != 0xFFFF)
                    return std::nullopt;  // padding after the end is all ones
            } else if (u == 0) {
                ended = true;
            } else {
                units.push_back(u);
            }
        }
        // A name that fills its last part exactly has no end mark: the
        // next slot up then no longer matches and ends the loop.
    }
    return named(units, *first);
}

std::optional<LONGNAME> entrylongname(const unsigned char* dirslots, std::uint64_t slotcount, std::uint64_t entry)
{
    if (!dirslots || entry == 0 || entry >= slotcount)
        return std::nullopt;
    const unsigned char* shortentry = dirslots + entry * 32;
    if (shortentry[0] == slotdeleted)
        return deletedlongname(dirslots, slotcount, entry);
    // Intact slots keep their order numbers: 1 right before the entry, the
    // last one flagged 0x40.
    const std::uint8_t wanted = shortnamechecksum(shortentry);
    std::u16string units;
    bool last = false;
    for (std::uint64_t part = 1; part <= maxparts && part <= entry && !last; ++part) {
        const unsigned char* slot = shortentry - 32 * part;
        if (slot[dirfield::attr] != attrlongname || (slot[0] & 0x3F) != part || slot[13] != wanted)
            return std::nullopt;
        last = (slot[0] & 0x40) != 0;
        bool ended = false;
        for (int offset : unitoffsets) {
            const char16_t u = char16_t(slot[offset] | slot[offset + 1] << 8);
            if (ended || u == 0)
                ended = true;
            else
                units.push_back(u);
        }
    }
    if (!last)
        return std::nullopt;
    return named(units, shortentry[0] == 0x05 ? slotdeleted : shortentry[0]);
}
