#include "partitions/backupboot.h"

#include "model/littleendian.h"
#include "volume/bootsector.h"

#include <algorithm>

namespace partitions {

std::uint64_t findbackupboot(platform::volhandle handle, std::uint32_t sectorbytes, CLASSIFIER classify,
                             std::vector<unsigned char>* out)
{
    if (sectorbytes == 0 || sectorbytes > backupwindow)
        return 0;
    // Read the window whole when the source holds it, else sector by
    // sector as far as it goes; a sector that cannot be read is zeros.
    std::vector<unsigned char> window(backupwindow, 0);
    std::vector<badsectors::BYTESPAN> missing;
    std::uint32_t have = backupwindow;
    if (!platform::readsome(handle, 0, backupwindow, window.data(), &missing)) {
        have = 0;
        while (have + sectorbytes <= backupwindow &&
               platform::readsome(handle, have, sectorbytes, window.data() + have, &missing))
            have += sectorbytes;
    }
    for (std::uint32_t at = 512; at + 512 <= have; at += 512) {
        const unsigned char* s = window.data() + at;
        if (classify(s) != 1)
            continue;
        const std::uint64_t own = le16(s + bootfield::backupsector);
        if (own == 0 || own * le16(s + bootfield::bytespersector) != at)
            continue;
        std::fill(out->begin(), out->end(), 0);
        std::copy_n(s, std::min<std::size_t>(out->size(), have - at), out->begin());
        return own;
    }
    return 0;
}

}  // namespace partitions
