#include "run/runprogress.h"

#include <algorithm>
#include <cmath>

namespace {

QString clock(double seconds)
{
    const auto s = std::uint64_t(std::llround(seconds));
    if (s >= 3600)
        return QStringLiteral("%1:%2:%3")
            .arg(s / 3600)
            .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
            .arg(s % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

}  // namespace

int RUNPROGRESS::percent() const { return std::clamp(int(shown * 100), 0, 100); }

int RUNPROGRESS::phasepercent() const { return std::clamp(int(phaseshown * 100), 0, 100); }

double RUNPROGRESS::bytespersecond() const { return seconds > 0 ? double(done) / seconds : 0; }

double RUNPROGRESS::secondsleft() const
{
    // Under a percent the pace says little: the walks read the table and
    // folders only, at no speed of the card's.
    if (shown < 0.01 || shown >= 1 || seconds <= 0)
        return -1;
    return seconds * (1 - shown) / shown;
}

double PROGRESSHOLD::at(std::uint64_t done) const
{
    if (basetotal <= basedone || done <= basedone)
        return base;
    done = std::min(done, basetotal);
    return base + (1 - base) * double(done - basedone) / double(basetotal - basedone);
}

double PROGRESSHOLD::see(std::uint64_t done, std::uint64_t total)
{
    // Never 100% before the end: the phases that read nothing (saving
    // lost files) still take their time.
    constexpr double most = 0.99;
    done = std::min(done, total);
    if (basetotal == 0) {
        // The first plan: its share is plainly the bytes read of it.
        basetotal = total;
    } else if (total != basetotal || done < basedone) {
        shown = std::max(shown, std::min(at(done), most));
        base = shown;
        basedone = done;
        basetotal = total;
    }
    shown = std::max(shown, std::min(at(done), most));
    return shown;
}

QString RUNPROGRESS::words() const
{
    QString out = QStringLiteral("%1% of the source read").arg(percent());
    if (bytespersecond() > 0)
        out += QStringLiteral(", %1 MB/s").arg(bytespersecond() / 1e6, 0, 'f', 1);
    if (const double left = secondsleft(); left >= 0)
        out += QStringLiteral(", %1 left").arg(clock(left));
    out += QStringLiteral(", %1 files found").arg(files);
    if (unreadable != 0)
        out += QStringLiteral(", %1 sectors unreadable").arg(unreadable);
    return out;
}
