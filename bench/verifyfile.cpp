// kov_verifyfile FILE...: the content check of each file as --verify runs
// it (identify by head and name, then the family's check), with its verdict
// and the wall time of the check alone. Run under /usr/bin/time -v for the
// peak memory (bench/verify-hostile.sh).
#include "verify/verify.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

int main(int argc, char** argv)
{
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        QFile file(QString::fromLocal8Bit(argv[i]));
        const uchar* data = file.open(QIODevice::ReadOnly) ? file.map(0, file.size()) : nullptr;
        if (!data && file.size() != 0) {
            std::fprintf(stderr, "cannot read %s\n", argv[i]);
            status = 1;
            continue;
        }
        const verify::bytes bytes(data, std::size_t(file.size()));
        QElapsedTimer clock;
        clock.start();
        const verify::verdict v = verify::verdictof(bytes, QFileInfo(file).fileName());
        const double seconds = double(clock.nsecsElapsed()) / 1e9;
        std::printf("%-28s %10lld bytes  %-9s %8.3f s\n", qPrintable(QFileInfo(file).fileName()),
                    static_cast<long long>(file.size()), qPrintable(verify::verdictname(v)), seconds);
    }
    return status;
}
