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
    // A camera writes a shot's two files one after the other: the file of
    // the other kind pairs with the last one of the key still alone. A
    // second file of the same kind, or one after a pair, is a further shot
    // of the same second (a burst, or a shot whose other file is gone):
    // what follows pairs with it, not with the earlier one.
    if (!found->paired && found->raw != raw) {
        found->paired = true;
        return found->first;
    }
    *found = SHOT{own, raw, false};
    return own;
}

}  // namespace carve
