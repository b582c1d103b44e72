#include "exfat/freeclusters.h"

#include <algorithm>
#include <bit>
#include <new>

namespace exfat {

namespace {

constexpr std::uint64_t blockclusters = 4096;
constexpr std::uint64_t blockwords = blockclusters / 64;

// The bits [from, to) of word w (bit indices within it), to <= 64.
std::uint64_t bits(std::uint64_t from, std::uint64_t to)
{
    const std::uint64_t upto = to == 64 ? ~std::uint64_t(0) : (std::uint64_t(1) << to) - 1;
    return upto & ~((std::uint64_t(1) << from) - 1);
}

}  // namespace

bool FREECLUSTERS::build(std::uint32_t clusters, const std::function<bool(std::uint32_t)>& isfree)
{
    ready = false;
    total = clusters;
    const std::uint64_t blocks = (total + blockclusters - 1) / blockclusters;
    try {
        words.assign(std::size_t(blocks * blockwords), 0);
        blockfree.assign(std::size_t(blocks), 0);
        tree.assign(std::size_t(blocks + 1), 0);
    } catch (const std::bad_alloc&) {
        total = 0;
        words = {};
        blockfree = {};
        tree = {};
        return false;
    }
    for (std::uint64_t x = 0; x < total; ++x)
        if (isfree(std::uint32_t(x + 2))) {
            words[std::size_t(x / 64)] |= std::uint64_t(1) << (x % 64);
            ++blockfree[std::size_t(x / blockclusters)];
        }
    // Each node adds its count to the node that covers it next.
    for (std::uint64_t i = 1; i <= blocks; ++i) {
        tree[std::size_t(i)] += blockfree[std::size_t(i - 1)];
        if (const std::uint64_t up = i + (i & (~i + 1)); up <= blocks)
            tree[std::size_t(up)] += tree[std::size_t(i)];
    }
    ready = true;
    return true;
}

bool FREECLUSTERS::isfree(std::uint64_t cluster) const
{
    if (cluster < 2 || cluster >= end())
        return false;
    const std::uint64_t x = cluster - 2;
    return (words[std::size_t(x / 64)] >> (x % 64)) & 1;
}

void FREECLUSTERS::add(std::uint64_t block, std::int64_t delta)
{
    for (std::uint64_t i = block + 1; i < tree.size(); i += i & (~i + 1))
        tree[std::size_t(i)] = std::uint64_t(std::int64_t(tree[std::size_t(i)]) + delta);
}

std::uint64_t FREECLUSTERS::prefix(std::uint64_t blocks) const
{
    std::uint64_t sum = 0;
    for (std::uint64_t i = blocks; i > 0; i -= i & (~i + 1))
        sum += tree[std::size_t(i)];
    return sum;
}

std::uint64_t FREECLUSTERS::count(std::uint64_t from, std::uint64_t to) const
{
    from = std::max<std::uint64_t>(from, 2);
    to = std::min(to, end());
    if (from >= to)
        return 0;
    const std::uint64_t f = from - 2, t = to - 2;
    // Whole blocks from the tree, the ends bit by bit.
    auto partial = [this](std::uint64_t a, std::uint64_t b) {
        std::uint64_t n = 0;
        for (std::uint64_t w = a / 64; w * 64 < b; ++w)
            n += std::uint64_t(std::popcount(words[std::size_t(w)] &
                                             bits(w * 64 < a ? a % 64 : 0, std::min<std::uint64_t>(b - w * 64, 64))));
        return n;
    };
    const std::uint64_t bf = f / blockclusters, bt = t / blockclusters;
    if (bf == bt)
        return partial(f, t);
    return partial(f, (bf + 1) * blockclusters) + prefix(bt) - prefix(bf + 1) + partial(bt * blockclusters, t);
}

std::uint64_t FREECLUSTERS::scan(std::uint64_t from, std::uint64_t to, bool free) const
{
    // Bit indices [from, to) inside one block.
    for (std::uint64_t w = from / 64; w * 64 < to; ++w) {
        const std::uint64_t word = free ? words[std::size_t(w)] : ~words[std::size_t(w)];
        const std::uint64_t hit = word & bits(w * 64 < from ? from % 64 : 0, std::min<std::uint64_t>(to - w * 64, 64));
        if (hit)
            return w * 64 + std::uint64_t(std::countr_zero(hit));
    }
    return to;
}

std::uint64_t FREECLUSTERS::nextblock(std::uint64_t b, bool free) const
{
    const std::uint64_t blocks = blockfree.size();
    if (b >= blocks)
        return blocks;
    // What a tree node holds of the measure: free clusters, or the heap
    // clusters of its blocks less those.
    auto measure = [&](std::uint64_t node) {
        if (free)
            return tree[std::size_t(node)];
        const std::uint64_t low = (node - (node & (~node + 1))) * blockclusters;
        return std::min(node * blockclusters, total) - low - tree[std::size_t(node)];
    };
    std::uint64_t rem = free ? prefix(b) : std::min(b * blockclusters, total) - prefix(b);
    std::uint64_t pos = 0;
    for (std::uint64_t step = std::bit_floor(blocks); step != 0; step >>= 1)
        if (pos + step <= blocks && measure(pos + step) <= rem) {
            pos += step;
            rem -= measure(pos);
        }
    return pos;
}

std::uint64_t FREECLUSTERS::nextfree(std::uint64_t from, std::uint64_t to) const
{
    from = std::max<std::uint64_t>(from, 2);
    to = std::min(to, end());
    if (from >= to)
        return to;
    const std::uint64_t f = from - 2, t = to - 2;
    std::uint64_t block = f / blockclusters;
    std::uint64_t hit = scan(f, std::min(t, (block + 1) * blockclusters), true);
    if (hit < std::min(t, (block + 1) * blockclusters))
        return hit + 2;
    block = nextblock(block + 1, true);
    if (block * blockclusters >= t)
        return to;
    hit = scan(block * blockclusters, std::min(t, (block + 1) * blockclusters), true);
    return std::min(hit, t) + 2;
}

std::uint64_t FREECLUSTERS::nexttaken(std::uint64_t from, std::uint64_t to) const
{
    from = std::max<std::uint64_t>(from, 2);
    to = std::min(to, end());
    if (from >= to)
        return to;
    const std::uint64_t f = from - 2, t = to - 2;
    std::uint64_t block = f / blockclusters;
    std::uint64_t hit = scan(f, std::min(t, (block + 1) * blockclusters), false);
    if (hit < std::min(t, (block + 1) * blockclusters))
        return hit + 2;
    block = nextblock(block + 1, false);
    if (block * blockclusters >= t)
        return to;
    hit = scan(block * blockclusters, std::min(t, (block + 1) * blockclusters), false);
    return std::min(hit, t) + 2;
}

CHAIN FREECLUSTERS::first(std::uint64_t from, std::uint64_t need) const
{
    CHAIN out;
    out.end = CHAIN::END::ended;
    // One free run a turn: the cost follows the runs taken.
    for (std::uint64_t c = from; out.clusters < need;) {
        c = nextfree(c, end());
        if (c >= end())
            break;
        const std::uint64_t stop = nexttaken(c, std::min(end(), c + (need - out.clusters)));
        out.runs.push_back({c - 2, stop - c, out.clusters});
        out.clusters += stop - c;
        c = stop;
    }
    return out;
}

void FREECLUSTERS::take(const std::vector<DATARUN>& runs)
{
    for (const DATARUN& run : runs) {
        const std::uint64_t a = std::min(run.lcn, total);
        const std::uint64_t b = std::min(total, run.lcn + std::min(run.length, total));
        for (std::uint64_t w = a / 64; w * 64 < b; ++w) {
            const std::uint64_t mask = bits(w * 64 < a ? a % 64 : 0, std::min<std::uint64_t>(b - w * 64, 64));
            const auto cleared = std::popcount(words[std::size_t(w)] & mask);
            if (cleared == 0)
                continue;
            words[std::size_t(w)] &= ~mask;
            blockfree[std::size_t(w / blockwords)] -= std::uint32_t(cleared);
            add(w / blockwords, -cleared);
        }
    }
}

}  // namespace exfat
