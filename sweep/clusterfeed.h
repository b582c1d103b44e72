// The sweep's blocks seen as the clusters of one layout: every eligible
// cluster read whole is handed to look with its bytes, a cluster that
// straddles two blocks put together first. A cluster of a hole is zeros,
// which list no directory and begin no file: it is passed, not looked at;
// one with a sector that could not be read is passed too.
#pragma once

#include "sweep/sweep.h"

#include <cstdint>
#include <functional>
#include <memory>

class CLUSTERFEED : public SWEEPVISITOR {
public:
    // Clusters 0 .. count - 1 of size bytes, cluster 0 at byte first.
    CLUSTERFEED(std::uint64_t first, std::uint64_t size, std::uint64_t count,
                std::function<bool(std::uint64_t)> eligible,
                std::function<void(std::uint64_t, const unsigned char*)> look);
    void block(const SWEEPBLOCK& b) override;
    void hole(std::uint64_t at, std::uint64_t n) override;
    // Clusters wholly passed, and of them the eligible ones (looked at or not).
    std::uint64_t passed() const { return next; }
    std::uint64_t eligiblepassed() const { return seen; }
    std::uint64_t unreadable() const { return unread; }

private:
    // [at, at + n) of the source, bytes null for a hole.
    void piece(std::uint64_t at, std::uint64_t n, const unsigned char* bytes, const SWEEPBLOCK* b);
    std::uint64_t first, size, count;
    std::function<bool(std::uint64_t)> eligible;
    std::function<void(std::uint64_t, const unsigned char*)> look;
    std::uint64_t next = 0;  // the first cluster not wholly passed
    std::uint64_t seen = 0, unread = 0;
    std::unique_ptr<unsigned char[]> carry;  // the part of cluster next seen so far
    bool carrybad = false;
    bool carryzero = true;
};
