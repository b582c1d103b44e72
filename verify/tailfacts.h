// What a few small reads show of a file before it is read whole: enough to
// turn away most bytes that cannot pass their family's check, at the cost of
// a few clusters instead of the whole file.
#pragma once

#include "verify/verify.h"

#include <cstddef>
#include <cstdint>
#include <functional>

namespace verify {

// Reads length bytes of the file at offset into out; false when they
// cannot be read.
using READER = std::function<bool(std::uint64_t offset, std::size_t length, unsigned char* out)>;

// False when the facts that a few reads through read give of a file of
// size bytes already fail the check of family f (or cannot be read):
// ZIP an end record within the last 64 KiB + 22 bytes, closing the file,
// whose central directory lies inside it; MP4 the top-level box headers,
// whose sizes chained from the start reach exactly size (only the headers
// are read). True for the other families, and for an MP4 of more than
// 1,024 top-level boxes, which the whole check has to judge.
bool tailfits(family f, std::uint64_t size, const READER& read);

}  // namespace verify
