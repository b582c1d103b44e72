// Little-endian field readers over raw on-disk bytes: every on-disk
// structure is read through these, never through a cast struct.
#pragma once

#include <cstdint>

inline std::uint16_t le16(const unsigned char* p)
{
    return std::uint16_t(std::uint16_t(p[0]) | std::uint16_t(p[1]) << 8);
}

inline std::uint32_t le32(const unsigned char* p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}
