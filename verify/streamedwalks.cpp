// PDF, OLE2, TIFF files and transport streams too large to hold: their
// structure readers walk the file through pages read on demand, for its
// end, then once more over the bytes up to that end, for the verdict
// check() gives them.
#include "verify/formats.h"
#include "verify/randombytes.h"

namespace verify {

namespace {

// found, with check()'s verdict over the bytes up to its end when verified.
template <class CHECK>
FINDING checkedupto(FINDING found, RANDOMBYTES& d, CHECK check)
{
    if (found.v != verdict::verified || d.failed())
        return d.failed() ? damagedat() : found;
    d.truncate(found.end);
    const verdict v = check(d);
    if (d.failed())
        return damagedat();
    found.v = v;
    return found;
}

}  // namespace

FINDING pdfstreamed(std::uint64_t length, const READAT& read, std::uint64_t* unmarked)
{
    RANDOMBYTES d(length, read);
    return checkedupto(pdfextent(d, unmarked), d,
                       [](const RANDOMBYTES& whole) { return wholepdf(whole) ? verdict::verified : verdict::damaged; });
}

FINDING ole2streamed(std::uint64_t length, const READAT& read)
{
    RANDOMBYTES d(length, read);
    return checkedupto(ole2extent(d), d,
                       [](const RANDOMBYTES& whole) { return wholeole2(whole) ? verdict::verified : verdict::damaged; });
}

FINDING tiffstreamed(std::uint64_t length, const READAT& read)
{
    RANDOMBYTES d(length, read);
    return checkedupto(tiffextent(d), d, [](const RANDOMBYTES& whole) { return readtiff(whole).v; });
}

FINDING tsstreamed(std::uint64_t length, const READAT& read, std::size_t align)
{
    RANDOMBYTES d(length, read);
    return checkedupto(tsextent(d, align), d, [](const RANDOMBYTES& whole) { return readts(whole).v; });
}

}  // namespace verify
