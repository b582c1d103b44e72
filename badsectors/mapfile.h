// The sector map as a GNU ddrescue mapfile, and a ddrescue mapfile read back
// as the areas not rescued.
#pragma once

#include "badsectors/sectormap.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <optional>

namespace badsectors {

// ddrescue's mapfile of a source of size bytes whose sectors map holds, at
// offset bytes in the file or device named (a partition's offset): read
// sectors "+", bad ones "-", the rest "?", covering 0 .. offset + size.
QByteArray mapfiletext(const SECTORMAP& map, std::uint64_t size, std::uint64_t offset = 0);

// The byte ranges a ddrescue mapfile does not mark finished ("+"), with
// those it leaves out (up to UINT64_MAX past its last area), sorted and
// merged; empty optional when text is no mapfile (no status line, a
// malformed line).
std::optional<std::vector<BYTESPAN>> unrescued(const QByteArray& text);

}  // namespace badsectors
