// Starts the recovery window over the image files named on the command line
// and the machine's block devices.
#include "app/kovdialog.h"
#include "platform/volumesource.h"

#include <QApplication>

#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

const char* const usage =
    "Usage: kov [IMAGE ...]\n"
    "Brings back deleted files from FAT12, FAT16, FAT32 or exFAT volumes, in a window.\n"
    "IMAGE: an image of a card (made with dd or ddrescue); listed before the cards.\n"
    "Cards need sudo kov, or udisks2, which opens them after you authenticate.\n"
    "The same recovery without a window: kov-recover --help\n"
    "Qt's own options (-platform NAME ...) are taken as well.\n";

// Asked for usage, which must not need a display: looked for before the
// application object is made. Arguments after "--" are images.
bool askedforhelp(int argc, char* argv[])
{
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0)
            return true;
    return false;
}

}  // namespace

int main(int argc, char* argv[])
{
    if (askedforhelp(argc, argv)) {
        std::fputs(usage, stdout);
        return 0;
    }
    // A recovered file beyond the output file system's size limit must fail
    // its own write ("Can not write file..."), not end the process.
    std::signal(SIGXFSZ, SIG_IGN);

    QApplication app(argc, argv);
    QStringList images = QCoreApplication::arguments().mid(1);
    images.removeOne(QStringLiteral("--"));
    platform::setimagefiles(images);

    KOVDialog dialog;
    if (dialog.novolume())
        return 1;
    dialog.show();
    return app.exec();
}
