#include "output/clusterclaims.h"

namespace {

constexpr unsigned many = 3;  // three claims or more: sticky

}  // namespace

void ClusterClaims::reset(std::uint64_t clusters)
{
    count = clusters;
    levels.assign(std::size_t((clusters + 3) / 4), 0);
    weak.assign(levels.size(), 0);
}

unsigned ClusterClaims::level(const std::vector<std::uint8_t>& of, std::uint64_t lcn)
{
    return (of[std::size_t(lcn / 4)] >> (lcn % 4 * 2)) & 3u;
}

void ClusterClaims::setlevel(std::vector<std::uint8_t>& of, std::uint64_t lcn, unsigned value)
{
    std::uint8_t& cell = of[std::size_t(lcn / 4)];
    const unsigned shift = unsigned(lcn % 4 * 2);
    cell = std::uint8_t((cell & ~(3u << shift)) | value << shift);
}

void ClusterClaims::mark(const std::vector<DATARUN>& runs)
{
    for (const DATARUN& run : runs)
        for (std::uint64_t x = run.lcn; x < count && x - run.lcn < run.length; ++x)
            if (const unsigned l = level(levels, x); l < many)
                setlevel(levels, x, l + 1);
}

void ClusterClaims::release(const std::vector<DATARUN>& runs)
{
    for (const DATARUN& run : runs)
        for (std::uint64_t x = run.lcn; x < count && x - run.lcn < run.length; ++x)
            if (const unsigned l = level(levels, x); l != 0 && l < many) {
                setlevel(levels, x, l - 1);
                if (level(weak, x) > l - 1)
                    setlevel(weak, x, l - 1);
            }
}

bool ClusterClaims::test(std::uint64_t lcn) const { return lcn >= count || level(levels, lcn) != 0; }

bool ClusterClaims::any(const std::vector<DATARUN>& runs) const
{
    for (const DATARUN& run : runs)
        for (std::uint64_t i = 0; i < run.length; ++i)
            if (test(run.lcn + i))
                return true;
    return false;
}

void ClusterClaims::weaken(const std::vector<DATARUN>& runs)
{
    for (const DATARUN& run : runs)
        for (std::uint64_t x = run.lcn; x < count && x - run.lcn < run.length; ++x)
            if (const unsigned w = level(weak, x); w < level(levels, x))
                setlevel(weak, x, w + 1);
}

bool ClusterClaims::firm(std::uint64_t lcn) const
{
    if (lcn >= count)
        return true;
    // Past three claims the count is no longer known: held firmly.
    const unsigned l = level(levels, lcn);
    return l != 0 && (l == many || level(weak, lcn) < l);
}
