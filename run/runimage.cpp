#include "run/runimage.h"

#include "platform/volumesource.h"

QString RUNIMAGE::start(const QString& file, const QString& sourcepath)
{
    finish();
    image = imaging::startimage(file, sourcepath);
    switch (image.fault) {
    case imaging::IMAGEFAULT::none:
        return {};
    case imaging::IMAGEFAULT::sourceitself:
        return QStringLiteral("is the source itself: name a new file on another disk");
    case imaging::IMAGEFAULT::onsource:
        return QStringLiteral("Do not save the image on the same disk being recovered!");
    case imaging::IMAGEFAULT::exists:
        return QStringLiteral("it or its .map exists already, and is never replaced: name a new file");
    case imaging::IMAGEFAULT::notcreated:
        return QStringLiteral("Can not create the image (%1)").arg(image.why);
    }
    return QStringLiteral("Can not create the image");
}

QString RUNIMAGE::finish()
{
    if (!started())
        return {};
    const QString failed = imaging::finishimage(&image);
    const QString fault = platform::imagefault();
    lastwhole = failed.isEmpty() && fault.isEmpty();
    const QString upto = fault.isEmpty() ? QString() : QStringLiteral(" before imaging stopped (%1)").arg(fault);
    if (!failed.isEmpty())
        return QStringLiteral("the image of what was read%1: %2; its map could not be written: %3")
            .arg(upto, image.path, failed);
    return QStringLiteral("the image of what was read%1: %2, its map %2.map (a GNU ddrescue mapfile)")
        .arg(upto, image.path);
}

QString imagingstoppedtext(const QString& file, const QString& why)
{
    return QStringLiteral("imaging stopped: %1 could not be written (%2); the recovery goes on, and the image "
                          "keeps what was read before")
        .arg(file, why);
}
