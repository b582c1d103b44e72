// Construction and destruction of the engine's state.
#include "model/kovcore.h"

#include <QDir>

#include <algorithm>
#include <new>

KOVCore::KOVCore()
{
    recoverdir = QStringLiteral(".") + QDir::separator() + "recovered" + QDir::separator();
    minutecount = minuteclock.count();
    // A table that cannot be had is reported at the first initialisation;
    // the estimates then fall back on the directory's high word.
    minutetable.reset(new (std::nothrow) std::uint16_t[std::size_t(std::max(minutecount, 0))]);
    if (minutetable)
        std::fill_n(minutetable.get(), minutecount, std::uint16_t(0xFFFF));
    minuteindex.reset(minutecount);
}

KOVCore::~KOVCore()
{
    curfile.clear();
    rootdir.clear();
    curdir.clear();
    platform::closesource(hdisk);
}

void KOVCore::filefound(const FILEPARM&, const QString&) {}

void KOVCore::entrydropped(const FILEPARM&, const FILEPARM&) {}
