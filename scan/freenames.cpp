#include "scan/freenames.h"

#include "scan/recoveredname.h"

#include <climits>

namespace {

// Memory the kept numbers may take (keys and table). Past it they are
// forgotten and searches start from 1 again: slower, never wrong.
constexpr std::uint64_t keepcap = 8u << 20;
constexpr std::uint64_t perkept = 64;

}  // namespace

QString FREENAMES::key(const QString& folder, const QString& name) { return folder + QChar(0) + name; }

QString FREENAMES::pick(const QString& folder, const QString& name, const TEST& test)
{
    const QString k = key(folder, name);
    const auto kept = next.constFind(k);
    const int first = kept == next.cend() ? 0 : kept.value();
    for (int tries = 0, n = first; tries < namesearchlimit && n < INT_MAX; ++tries, ++n) {
        const QString candidate = numberedname(name, n);
        if (!held.isEmpty() && held.contains(key(folder, candidate)))
            continue;
        switch (test(candidate)) {
        case platform::PathState::unknown:
            return QString();
        case platform::PathState::taken:
            continue;
        case platform::PathState::free:
            break;
        }
        if (n > 0) {
            if (kept == next.cend()) {
                keptbytes += perkept + std::uint64_t(k.size()) * 2;
                if (keptbytes > keepcap) {
                    next.clear();
                    keptbytes = perkept + std::uint64_t(k.size()) * 2;
                }
            }
            next.insert(k, n + 1);
        }
        return candidate;
    }
    return QString();
}

void FREENAMES::reserve(const QString& folder, const QString& name) { held.insert(key(folder, name)); }

bool FREENAMES::reserved(const QString& folder, const QString& name) const
{
    return held.contains(key(folder, name));
}

void FREENAMES::clear()
{
    next.clear();
    held.clear();
    keptbytes = 0;
}
