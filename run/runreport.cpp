#include "run/runreport.h"

namespace {

// What plausible means, in both faces' words.
const char* const plausiblewords = "plausible: whole in their structure, not proven to be one file";

}  // namespace

QString RUNREPORT::verdictsummary() const
{
    if (!options.verify)
        return QString();
    return QStringLiteral("; %1 verified, %2 unchecked, %3 damaged%4, %5 starts chosen by content, "
                          "%6 files rebuilt around proven files")
        .arg(verdicts.verified)
        .arg(verdicts.unchecked)
        .arg(verdicts.damaged)
        .arg(verdicts.plausible != 0 ? QStringLiteral(", %1 plausible").arg(verdicts.plausible) : QString())
        .arg(verdicts.startbycontent)
        .arg(verdicts.rebuiltaround);
}

QString RUNREPORT::summary(double seconds) const
{
    return QStringLiteral("%1 files saved, %2 bytes, %3 failed (create %4, read %5, write %6), "
                          "%7 entries walked, %8 s%9")
        .arg(stats.saved)
        .arg(stats.bytes)
        .arg(stats.failures())
        .arg(stats.createfailed)
        .arg(stats.readfailed)
        .arg(stats.writefailed)
        .arg(stats.entries)
        .arg(seconds, 0, 'f', 2)
        .arg(verdictsummary() + unreadablesummary());
}

QString RUNREPORT::unreadablesummary() const
{
    if (stats.unreadablesectors == 0)
        return {};
    return QStringLiteral("; %1 unreadable sectors, %2 files with unreadable parts (zeros, in damaged/)")
        .arg(stats.unreadablesectors)
        .arg(stats.unreadablefiles);
}

QString RUNREPORT::detail() const
{
    QString text = stats.saved == 1 ? QStringLiteral("1 file saved") : QStringLiteral("%1 files saved").arg(stats.saved);
    if (stats.failures() != 0)
        text += QStringLiteral(", %1 could not be saved").arg(stats.failures());
    text += unreadablesummary();
    if (!unreadablemap.isEmpty())
        text += QStringLiteral("; their map for GNU ddrescue: %1").arg(unreadablemap);
    if (options.verify)
        text += QStringLiteral("; %1 verified, %2 unchecked, %3 damaged (in the damaged folder)%4")
                    .arg(verdicts.verified)
                    .arg(verdicts.unchecked)
                    .arg(verdicts.damaged)
                    .arg(verdicts.rebuiltaround != 0
                             ? QStringLiteral("; %1 files rebuilt around proven files").arg(verdicts.rebuiltaround)
                             : QString());
    if (options.deep)
        text += QStringLiteral("; %1 from lost folders (in the lost folder)").arg(lost);
    if (options.carve)
        text += QStringLiteral("; %1 found by their contents alone (in lost/carved%2)")
                    .arg(carving.carved)
                    .arg(carving.plausible != 0
                             ? QStringLiteral(", %1 %2").arg(carving.plausible).arg(QLatin1String(plausiblewords))
                             : QString());
    text += QLatin1Char('.');
    const QString more = advice();
    return more.isEmpty() ? text : text + QLatin1Char(' ') + more;
}

bool RUNREPORT::trydeep() const { return !options.deep && (settled == 0 || formatted); }

bool RUNREPORT::trycarve() const { return !options.carve && (settled == 0 || formatted); }

namespace {

// Why the advice is given, in front of it.
QString cause(const RUNREPORT& r)
{
    return r.formatted ? QStringLiteral("Most of this card is free, yet folders lie in its free space: it may have been "
                                        "formatted, or folders deleted whole.")
                       : QStringLiteral("No deleted file was found this way.");
}

}  // namespace

QString RUNREPORT::advice() const
{
    QStringList choices;
    if (trydeep())
        choices.append(QStringLiteral("\"%1\"").arg(QLatin1String(deepchoice)));
    if (trycarve())
        choices.append(QStringLiteral("\"%1\"").arg(QLatin1String(carvechoice)));
    if (choices.isEmpty())
        return {};
    return cause(*this) + QStringLiteral(" Try again with ") + choices.join(QStringLiteral(" and ")) +
           QLatin1Char('.');
}

QString RUNREPORT::optionadvice() const
{
    QStringList options;
    if (trydeep())
        options.append(QStringLiteral("--deep (%1)").arg(QString::fromLatin1(deepchoice).toLower()));
    if (trycarve())
        options.append(QStringLiteral("--carve (%1)").arg(QString::fromLatin1(carvechoice).toLower()));
    if (options.isEmpty())
        return {};
    return cause(*this) + QStringLiteral(" Run again with ") + options.join(QStringLiteral(" and ")) +
           QLatin1Char('.');
}

QString RUNREPORT::carvesummary() const
{
    return QStringLiteral("carving: %1 clusters read, %2 file starts, %3 files carved%8; not saved: %4 failed "
                          "their check, %5 too large, %6 equal to a saved file%7%9")
        .arg(carving.scanned)
        .arg(carving.starts)
        .arg(carving.carved)
        .arg(carving.failed)
        .arg(carving.toolarge)
        .arg(carving.duplicates)
        .arg((carving.cut != 0 ? QStringLiteral("; %1 not read on past their first clusters: the starts that failed "
                                               "before them took the work allowed")
                                     .arg(carving.cut)
                               : QString()) +
             (carving.overread != 0
                  ? QStringLiteral("; %1 not read on to their end: their structure took more reads than one file may")
                        .arg(carving.overread)
                  : QString()))
        .arg(carving.plausible != 0
                 ? QStringLiteral(" (%1 %2)").arg(carving.plausible).arg(QLatin1String(plausiblewords))
                 : QString())
        .arg(carving.zipleft != 0 ? QStringLiteral("; %1 saved without the ZIP archive that follows them, which is "
                                                   "not whole: it was left out")
                                        .arg(carving.zipleft)
                                  : QString());
}
