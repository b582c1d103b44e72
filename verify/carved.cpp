// What the bytes of a carved file can prove: that they are one file, or
// only that their structure holds.
#include "verify/formats.h"

namespace verify {

verdict carvedverdict(family f, bytes data, std::uint32_t clusterbytes)
{
    if (blindtoforeign(f))
        return verdict::plausible;
    if (f == family::jpeg && !jpegonefile(data, clusterbytes))
        return verdict::plausible;
    return verdict::verified;
}

}  // namespace verify
