#include "verify/randombytes.h"

#include "verify/formats.h"

#include <algorithm>
#include <cstring>

namespace verify {

RANDOMBYTES::RANDOMBYTES(std::uint64_t length, const READAT& read) : length(length), held(false), read(&read) {}

unsigned char RANDOMBYTES::paged(std::uint64_t at) const
{
    if (at >= length) {
        broken = true;
        return 0;
    }
    // find's piece holds the bytes around what it found, which a reader
    // looks at next.
    if (at >= piecebase && at - piecebase < piece.size())
        return piece[std::size_t(at - piecebase)];
    const std::uint64_t base = at / pagebytes * pagebytes;
    if (last < pages.size() && pages[last].base == base)
        return pages[last].data[std::size_t(at - base)];
    std::size_t pick = 0;
    for (std::size_t i = 0; i < pages.size(); ++i) {
        if (pages[i].base == base) {
            last = i;
            pages[i].used = ++clock;
            return pages[i].data[std::size_t(at - base)];
        }
        if (pages[i].used < pages[pick].used)
            pick = i;
    }
    if (pages.size() < pagecount) {
        pages.emplace_back();
        pick = pages.size() - 1;
    }
    PAGE& p = pages[pick];
    const std::size_t n = std::size_t(std::min<std::uint64_t>(pagebytes, length - base));
    p.data.resize(n);
    if (broken || !(*read)(base, n, p.data.data())) {
        // Not kept: a failed read proves nothing, and the walk is failed.
        p.base = ~std::uint64_t(0);
        p.used = 0;
        broken = true;
        return 0;
    }
    p.base = base;
    p.used = ++clock;
    last = pick;
    return p.data[std::size_t(at - base)];
}

bytes RANDOMBYTES::view(std::uint64_t at, std::size_t n, std::vector<unsigned char>& scratch) const
{
    if (at > length || n > length - at)
        return {};
    if (held)
        return whole.subspan(std::size_t(at), n);
    scratch.resize(n);
    if (broken || (n != 0 && !(*read)(at, n, scratch.data()))) {
        broken = true;
        return {};
    }
    return bytes(scratch.data(), n);
}

bool RANDOMBYTES::match(std::uint64_t at, std::string_view s) const
{
    if (at > length || length - at < s.size())
        return false;
    for (std::size_t i = 0; i < s.size(); ++i)
        if ((*this)[at + i] != static_cast<unsigned char>(s[i]))
            return false;
    return true;
}

std::uint64_t RANDOMBYTES::find(std::string_view s, std::uint64_t from) const
{
    if (held)
        return findfrom(whole, std::size_t(std::min<std::uint64_t>(from, length)), s);
    // A piece is searched from where the last find left off in it; the next
    // overlaps it by all but one byte of s, so that s is found across their
    // seams, and each byte is read once however many finds there are.
    while (from < length && length - from >= s.size()) {
        if (from < piecebase || from - piecebase + s.size() > piece.size() || piecebase + piece.size() > length) {
            const std::size_t n = std::size_t(std::min<std::uint64_t>(piecebytes, length - from));
            piece.resize(n);
            if (broken || !(*read)(from, n, piece.data())) {
                piece.clear();
                broken = true;
                return length;
            }
            piecebase = from;
        }
        const bytes v(piece.data(), piece.size());
        const std::size_t found = findfrom(v, std::size_t(from - piecebase), s);
        if (found != v.size())
            return piecebase + found;
        if (piecebase + piece.size() >= length)
            break;
        from = piecebase + piece.size() - (s.size() - 1);
    }
    return length;
}

void RANDOMBYTES::truncate(std::uint64_t n)
{
    length = std::min(length, n);
    if (held)
        whole = whole.first(std::size_t(length));
}

}  // namespace verify
