// A layout found inside a file: a disk image stored on the card has
// directories that agree on a layout of their own, yet they are that
// file's contents, not a format of the card.
#pragma once

#include "layout/layoutsearch.h"

#include <vector>

namespace layout {

// True when every pair that agrees with inner lies inside the bytes of one
// file (live or erased) that a directory of outer lists: its root (the
// FAT16 root area, or the FAT32 root cluster) or the first cluster of a
// directory whose pair agrees with outer. A file's bytes are taken as one
// run from its start cluster, as a copy onto a card writes them. Reads at
// most a bounded number of bytes of outer's directories.
bool insidefile(platform::volhandle handle, const std::vector<DIRPAIR>& pairs, const FOUNDLAYOUT& outer,
                const FOUNDLAYOUT& inner);

// Bytes of directories insidefile reads at most for one outer layout.
constexpr std::uint64_t nestedreadcap = 32u << 20;

}  // namespace layout
