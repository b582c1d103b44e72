// What one file read on past the window may read, whatever its structure
// says: reads that do not go on from where the last one ended (a video's
// boxes, a document's pages where its offsets lead) are counted, up to
// streamreads; those that go on forward (an archive's pieces, a transport
// stream's pages) are held by their bytes instead, as a walk for the end
// and one for the check read the free run twice at most.
#pragma once

#include <cstdint>

namespace carve {

class READCAP {
public:
    static constexpr std::uint64_t streamreads = 1u << 16;
    static constexpr std::uint64_t streampasses = 2;

    // length: the free run the file lies in; pagecost: what a short read costs at least.
    READCAP(std::uint64_t length, std::uint64_t pagecost) : length(length), pagecost(pagecost) {}
    // The read of n bytes at from, priced at price, taken: false when it
    // would pass the cap (and is not counted).
    bool take(std::uint64_t from, std::uint64_t n, std::uint64_t price)
    {
        const bool onward = reads != 0 && from == next;
        if ((!onward && reads == streamreads) || cost + price > streampasses * length + streamreads * pagecost)
            return false;
        if (!onward)
            ++reads;
        next = from + n;
        cost += price;
        return true;
    }

private:
    std::uint64_t length, pagecost;
    std::uint64_t reads = 0, cost = 0, next = 0;
};

}  // namespace carve
