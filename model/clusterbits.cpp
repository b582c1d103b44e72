#include "model/clusterbits.h"

#include <algorithm>
#include <bit>
#include <new>

bool CLUSTERBITS::resize(std::uint64_t bits)
{
    storage = {};
    const std::uint64_t bytes = bits / 8 + (bits % 8 != 0 ? 1 : 0);
    if (bytes > storage.max_size())
        return false;
    try {
        storage.assign(std::size_t(bytes), 0);
    } catch (const std::bad_alloc&) {
        storage = {};
        return false;
    }
    return true;
}

void CLUSTERBITS::setrun(std::uint64_t first, std::uint64_t count)
{
    if (first >= size())
        return;
    const std::uint64_t end = count > size() - first ? size() : first + count;
    for (std::uint64_t x = first; x < end; ++x)
        storage[std::size_t(x / 8)] |= std::uint8_t(1u << (x % 8));
}

void CLUSTERBITS::merge(const CLUSTERBITS& other)
{
    const std::size_t n = std::min(storage.size(), other.storage.size());
    for (std::size_t i = 0; i < n; ++i)
        storage[i] |= other.storage[i];
}

std::uint64_t CLUSTERBITS::ones() const
{
    std::uint64_t n = 0;
    for (const unsigned char b : storage)
        n += std::uint64_t(std::popcount(b));
    return n;
}

std::uint64_t CLUSTERBITS::nextclear(std::uint64_t from, std::uint64_t end) const
{
    const std::uint64_t last = std::min(end, size());
    for (std::uint64_t c = from; c < last;) {
        if (c % 8 == 0 && storage[std::size_t(c / 8)] == 0xFF) {
            c += 8;
            continue;
        }
        if (!test(c))
            return c;
        ++c;
    }
    return end;
}
