#include "carve/pairs.h"

namespace carve {

PLACE PAIRS::place(const QString& type, std::uint32_t startcluster, bool raw, const QByteArray& key)
{
    const PLACE own{type, QStringLiteral("f%1").arg(startcluster, 7, 10, QLatin1Char('0'))};
    const bool jpeg = type == QLatin1String("jpg");
    if (key.isEmpty() || (!raw && !jpeg))
        return own;
    const auto found = shots.find(key);
    if (found == shots.end()) {
        if (shots.size() < most)
            shots.insert(key, SHOT{own, raw, false});
        return own;
    }
    // One RAW with one JPEG: a second JPEG of the same second (a burst)
    // stays on its own.
    if (found->paired || found->raw == raw)
        return own;
    found->paired = true;
    return found->first;
}

}  // namespace carve
