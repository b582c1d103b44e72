#include "sweep/clusterfeed.h"

#include <algorithm>
#include <cstring>
#include <new>

CLUSTERFEED::CLUSTERFEED(std::uint64_t at, std::uint64_t bytes, std::uint64_t clusters,
                         std::function<bool(std::uint64_t)> test,
                         std::function<void(std::uint64_t, const unsigned char*)> seen)
    : first(at), size(bytes), count(bytes == 0 ? 0 : clusters), eligible(std::move(test)), look(std::move(seen))
{
}

void CLUSTERFEED::block(const SWEEPBLOCK& b) { piece(b.at, b.n, b.bytes, &b); }

void CLUSTERFEED::hole(std::uint64_t at, std::uint64_t n) { piece(at, n, nullptr, nullptr); }

void CLUSTERFEED::piece(std::uint64_t at, std::uint64_t n, const unsigned char* bytes, const SWEEPBLOCK* b)
{
    const std::uint64_t end = at + n;
    while (next < count) {
        const std::uint64_t from = first + next * size, to = from + size;
        if (from >= end)
            return;
        const bool wanted = eligible(next);
        if (from >= at && to <= end) {
            // Whole in this piece.
            if (wanted) {
                ++seen;
                if (bytes && b->readable(from, to))
                    look(next, bytes + (from - at));
                else if (bytes)
                    ++unread;
            }
            ++next;
            continue;
        }
        // Straddles: its part here kept until the rest comes.
        const std::uint64_t a = std::max(from, at), z = std::min(to, end);
        if (wanted && a < z) {
            if (!carry) {
                carry.reset(new (std::nothrow) unsigned char[size]);
                carrybad = !carry;
                carryzero = true;
            }
            if (carry) {
                if (bytes) {
                    std::memcpy(carry.get() + (a - from), bytes + (a - at), z - a);
                    carryzero = false;
                    carrybad = carrybad || !b->readable(a, z);
                } else {
                    std::memset(carry.get() + (a - from), 0, z - a);
                }
            }
        }
        if (to > end)
            return;
        if (wanted) {
            ++seen;
            if (carry && !carrybad && !carryzero)
                look(next, carry.get());
            else if (carrybad)
                ++unread;
        }
        carry.reset();
        carrybad = false;
        carryzero = true;
        ++next;
    }
}
