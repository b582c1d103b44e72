// A carved JPEG whose clusters stop being its own: where its decode breaks
// at a cluster boundary, the file may go on in the free clusters that
// follow. Only a photo with restart markers is pieced together, and only
// where every piece carries a marker numbering on from the one before: a
// clean decode alone proves nothing, as one interval decodes after any
// other. The work per file is bounded (jpegfragments.cpp).
#pragma once

#include "model/diskparm.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace carve {

struct JPEGCLUSTERS {
    std::uint64_t clustersize = 0;
    std::uint64_t clusters = 0;                           // lcn 0 .. clusters - 1
    std::function<bool(std::uint64_t lcn)> eligible;      // free and unclaimed
    std::function<bool(std::uint64_t lcn, std::uint64_t count, unsigned char* to)> read;
};

struct SPLICEDJPEG {
    std::vector<DATARUN> runs;        // two at least
    std::vector<unsigned char> data;  // the file, its size long
};

// The JPEG beginning at cluster start, pieced together from the clusters
// after it, nearest first; set when its decode and structure hold over
// the whole file, across at least one splice. *spent: the bytes read
// and decoded on the way, whatever the outcome.
std::optional<SPLICEDJPEG> splicejpeg(const JPEGCLUSTERS& from, std::uint64_t start, std::uint64_t* spent);

}  // namespace carve
