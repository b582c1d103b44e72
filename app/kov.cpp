// Starts the recovery window over the image files named on the command line
// and the machine's block devices.
#include "app/kovdialog.h"
#include "platform/volumesource.h"

#include <QApplication>

#include <csignal>

int main(int argc, char* argv[])
{
    // A recovered file beyond the output file system's size limit must fail
    // its own write ("Can not write file..."), not end the process.
    std::signal(SIGXFSZ, SIG_IGN);

    QApplication app(argc, argv);
    platform::setimagefiles(QCoreApplication::arguments().mid(1));

    KOVDialog dialog;
    if (dialog.novolume())
        return 1;
    dialog.show();
    return app.exec();
}
