#include "run/runprogress.h"

#include <algorithm>
#include <cmath>

namespace {

int share(std::uint64_t done, std::uint64_t total)
{
    return total == 0 ? 0 : int(std::min<std::uint64_t>(done, total) * 100 / total);
}

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

int RUNPROGRESS::percent() const { return share(done, total); }

int RUNPROGRESS::phasepercent() const { return share(now.done, now.total); }

double RUNPROGRESS::bytespersecond() const { return seconds > 0 ? double(done) / seconds : 0; }

double RUNPROGRESS::secondsleft() const
{
    const double speed = bytespersecond();
    return speed > 0 && total >= done ? double(total - done) / speed : -1;
}

QString RUNPROGRESS::words() const
{
    QString out = QStringLiteral("%1% of the source read").arg(percent());
    if (bytespersecond() > 0)
        out += QStringLiteral(", %1 MB/s").arg(bytespersecond() / 1e6, 0, 'f', 1);
    if (const double left = secondsleft(); left >= 0 && done < total)
        out += QStringLiteral(", %1 left").arg(clock(left));
    out += QStringLiteral(", %1 files found").arg(files);
    if (unreadable != 0)
        out += QStringLiteral(", %1 sectors unreadable").arg(unreadable);
    return out;
}
