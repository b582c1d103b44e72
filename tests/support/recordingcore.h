// A core whose hooks record what the user would have been shown.
#pragma once

#include "model/kovcore.h"

#include <QStringList>

namespace testsupport {

class RecordingCore : public KOVCore {
public:
    QStringList warnings;
    QStringList informations;
    QList<platform::VolumeSource> volumes;
    QStringList statusnames;
    QString buttontext;
    int buttoncalls = 0;

    void showwarning(const QString& text) override { warnings.append(text); }
    void showinformation(const QString& text) override { informations.append(text); }
    void addvolumeitem(const platform::VolumeSource& source) override { volumes.append(source); }
    void setstatuslines(const QString& name, const QString&, const QString&) override
    {
        statusnames.append(name);
    }
    void setbuttontext(const QString& text) override
    {
        buttontext = text;
        ++buttoncalls;
    }

    // Opens one image as drive C and initialises it.
    void openimage(const QString& path);
    // Runs both passes to their end; returns the number of ticks, or -1 when
    // the run did not end within maxticks.
    long runtoend(const QString& outdir, long maxticks = 10000000);
};

}  // namespace testsupport
