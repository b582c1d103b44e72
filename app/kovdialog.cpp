#include "app/kovdialog.h"

#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFont>
#include <QGridLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

namespace {

const char* const novolumetext =
    "Can not open any FAT partition. \nPlease run rivode.exe as administrator(probably by "
    "right-clicking kov.exe and selecting \"Run as Administrator\").";
const char* const choosetext =
    "You must select a disk to recover and a directory to save the recovered files, and the "
    "directory can not be on the disk to recover.";
const char* const samedisktext = "Do not save recovered files on the same disk being recovered!";
const char* const mkdirtext = "Can not create the directory to save the recovered files!";

}  // namespace

KOVDialog::KOVDialog(QWidget* parent) : QDialog(parent)
{
    gridlayout = new QGridLayout(this);
    gridlayout->setColumnMinimumWidth(0, 200);
    gridlayout->setColumnMinimumWidth(2, 200);
    gridlayout->setColumnStretch(0, 1);
    gridlayout->setColumnStretch(2, 1);

    disklabel = new QLabel(QStringLiteral("Select a disk from which files are recovered."));
    disklabel->setWordWrap(true);
    dirlabel = new QLabel(QStringLiteral("Select a directory in which recovered files are saved."));
    dirlabel->setWordWrap(true);

    vollist = new QComboBox;
    diredit = new QLineEdit;
    diredit->setText(recoverdir);

    changedirbt = new QPushButton(QStringLiteral("change"));
    changedirbt->setMaximumSize(64, 22);

    recoverbt = new QPushButton(QStringLiteral("Recover"));
    QFont big = recoverbt->font();
    big.setPointSize(big.pointSize() * 2);
    big.setBold(true);
    recoverbt->setFont(big);
    // At least 96 x 96, and wide enough for the bold caption in the font the
    // system gives.
    recoverbt->setMinimumSize(recoverbt->sizeHint().expandedTo(QSize(96, 96)));

    namelabel = new QLabel;
    sizelabel = new QLabel;
    timelabel = new QLabel;

    gridlayout->addWidget(disklabel, 0, 0);
    gridlayout->addWidget(dirlabel, 0, 2);
    gridlayout->addWidget(vollist, 1, 0);
    gridlayout->addWidget(diredit, 1, 2);
    gridlayout->addWidget(changedirbt, 2, 2);
    gridlayout->addWidget(recoverbt, 4, 1);
    gridlayout->addWidget(namelabel, 5, 0);
    gridlayout->addWidget(sizelabel, 5, 1);
    gridlayout->addWidget(timelabel, 5, 2);

    connect(vollist, &QComboBox::currentIndexChanged, this, &KOVDialog::on_vollist_currentIndexChanged);
    connect(changedirbt, &QPushButton::clicked, this, &KOVDialog::on_changedirbt_clicked);
    connect(recoverbt, &QPushButton::clicked, this, &KOVDialog::on_recoverbt_clicked);

    scantimer = new QTimer(this);
    connect(scantimer, &QTimer::timeout, this, &KOVDialog::scan);

    setWindowTitle(QStringLiteral("KOV - Pellicor for FAT V1.0"));
    QIcon icon;
    for (int size : {16, 32, 48})
        icon.addFile(QStringLiteral(":/icons/kov-%1.png").arg(size), QSize(size, size));
    setWindowIcon(icon);

    // Adding the first item changes the current index; that is not a choice
    // of the user and must not initialise anything.
    fillingvollist = true;
    volumecount = getallvol();
    fillingvollist = false;
    if (volumecount < 1) {
        showwarning(QString::fromLatin1(novolumetext));
        return;
    }

    resize(400, 300);
    initdisk(vollist->currentText());
}

KOVDialog::~KOVDialog() = default;

void KOVDialog::on_vollist_currentIndexChanged(int)
{
    if (fillingvollist)
        return;
    // A run must not go on over another volume: it would save nothing and
    // still report success.
    if (runactive()) {
        endrun();
        setstatuslines(QStringLiteral("Recovery of %1 stopped: another volume was chosen.").arg(runvolume),
                       QString(), QString());
    }
    initdisk(vollist->currentText());
}

void KOVDialog::on_changedirbt_clicked()
{
    QString dir = QFileDialog::getExistingDirectory(this, tr("Select a directory"), QString(),
                                                    QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (dir.isEmpty())
        return;
    dir = QDir::toNativeSeparators(dir);
    if (!dir.endsWith(QDir::separator()))
        dir += QDir::separator();
    // A run under way keeps the directory it examined until the next press.
    if (!runactive())
        recoverdir = dir;
    diredit->setText(dir);
}

void KOVDialog::on_recoverbt_clicked()
{
    QString dir = diredit->text();
    const QString volume = vollist->currentText();
    if (dir.isEmpty() || volume.isEmpty()) {
        showwarning(QString::fromLatin1(choosetext));
        return;
    }
    // The last volume change failed: there is nothing to walk.
    if (!volumeready()) {
        showwarning(QStringLiteral("disk open error!"));
        return;
    }
    // Recovered names are appended to the directory; without the separator
    // they would land beside it.
    if (!dir.endsWith(QDir::separator()))
        dir += QDir::separator();
    // A Linux path's first character says nothing about the drive letter of
    // the source (a relative "data/out" is fine beside "D:\"); the device
    // the directory lies on is what keeps writes off the source.
    if (platform::directoryonsource(dir, volume.at(0))) {
        showwarning(QString::fromLatin1(samedisktext));
        return;
    }
    if (!QDir(dir).exists() && !QDir().mkpath(dir)) {
        showwarning(QString::fromLatin1(mkdirtext));
        return;
    }
    recoverdir = dir;

    paused = !paused;
    if (paused) {
        scantimer->stop();
        setbuttontext(QStringLiteral("Recover"));
        return;
    }
    setbuttontext(QStringLiteral("Pause"));
    if (!runactive()) {
        runvolume = volume;
        beginrun();
        setstatuslines(QStringLiteral("Collecting information for recovery..."), QString(), QString());
    }
    scantimer->start(0);
}

void KOVDialog::scan()
{
    scantick();
}

void KOVDialog::endrun()
{
    scantimer->stop();
    paused = true;
    collecting = false;
    saving = false;
    setbuttontext(QStringLiteral("Recover"));
}

void KOVDialog::modalbox(const std::function<void()>& box)
{
    const bool ticking = scantimer->isActive();
    scantimer->stop();
    box();
    if (ticking && !paused && runactive())
        scantimer->start(0);
}

void KOVDialog::showwarning(const QString& text)
{
    modalbox([&] {
        QMessageBox::warning(this, QStringLiteral("error"), text, QMessageBox::Ok, QMessageBox::NoButton);
    });
}

void KOVDialog::showinformation(const QString& text)
{
    modalbox([&] {
        QMessageBox::information(this, QStringLiteral("info"), text, QMessageBox::Ok, QMessageBox::NoButton);
    });
}

void KOVDialog::addvolumeitem(const platform::VolumeSource& source)
{
    vollist->addItem(source.root);
    // "C:\" alone means nothing on Linux: name the image or device behind it.
    QString tip = QStringLiteral("%1 (%2)").arg(QDir::toNativeSeparators(source.path),
                                                QLocale().formattedDataSize(qint64(source.size)));
    if (source.partition != 0)
        tip = QStringLiteral("%1: partition %2, offset %3, size %4")
                  .arg(QDir::toNativeSeparators(source.path))
                  .arg(source.partition)
                  .arg(source.offset)
                  .arg(source.size);
    if (!source.label.isEmpty())
        tip = source.label + QStringLiteral(", ") + tip;
    if (!source.note.isEmpty())
        tip += QStringLiteral("\n") + source.note;
    vollist->setItemData(vollist->count() - 1, tip, Qt::ToolTipRole);
}

void KOVDialog::setstatuslines(const QString& name, const QString& size, const QString& time)
{
    namelabel->setText(name);
    sizelabel->setText(size);
    timelabel->setText(time);
}

void KOVDialog::setbuttontext(const QString& text)
{
    recoverbt->setText(text);
}
