// Whole-sector reads on the volume seam.
#include "model/kovcore.h"

bool KOVCore::readasector(platform::volhandle handle, unsigned long size,
                          unsigned long long sector, unsigned char* buffer)
{
    return platform::readat(handle, std::uint64_t(size) * sector, std::uint32_t(size), buffer);
}

bool KOVCore::readsectors(platform::volhandle handle, unsigned long bytespersector,
                          unsigned long long firstsector, unsigned long long count,
                          unsigned char* buffer)
{
    // The length is a 32-bit product of the low half of count.
    const std::uint32_t length = std::uint32_t(bytespersector) * std::uint32_t(count);
    return platform::readat(handle, std::uint64_t(bytespersector) * firstsector, length, buffer);
}
