#include "app/kovdialog.h"
#include "app/choicegrid.h"
#include "platform/outputfolder.h"
#include "run/opensource.h"
#include "run/outputcheck.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFont>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

namespace {

// The box's title and first line are the window's own; what follows is
// advice that works on this system.
QString novolumetext()
{
    QString text = QStringLiteral(
        "Can not open any FAT partition. \n"
        "No FAT12, FAT16, FAT32 or exFAT card, stick or image of one was found.\n"
        "Insert the card (or its reader) and start kov again, or name an image of the card: kov card.img\n"
        "To read the machine's drives directly, start it as administrator: sudo kov");
    if (platform::cardsafterauthentication())
        text += QStringLiteral("\nudisks2 is running here: inserted cards are listed without sudo, and opened "
                               "after you authenticate.");
    return text;
}
const char* const choosetext =
    "You must select a disk to recover and a directory to save the recovered files, and the "
    "directory can not be on the disk to recover.";
const char* const samedisktext = "Do not save recovered files on the same disk being recovered!";
const char* const mkdirtext = "Can not create the directory to save the recovered files!";
// The status lines' own texts, each with the widest percent it shows:
// the window is laid out once to hold them.
const char* const collectingtext = "Collecting information for recovery...";
const char* const widestlines[] = {collectingtext, "Looking for files by their contents: 100%",
                                   "Looking for the folders of an earlier format...",
                                   "Trying other places for damaged files...", "Saving the files of lost folders..."};
const char* const founddeeptext =
    "No boot sector lays this volume out: its layout was found from its folders. Check \"%1\" to "
    "recover its files.";

// The choices in the words of kov-recover's --help, with what each costs.
const char* const deeptip =
    "Also reads every part of the card no file uses, to find folders that were deleted whole or lost "
    "when the card was formatted. Their files go into the folder \"lost\".\nCosts time: the card's "
    "whole free space is read, about as long as copying it.";
const char* const verifytip =
    "Checks every file against its format (photos, videos, music, documents, archives). Files that fail "
    "go into the folder \"damaged\"; on FAT32 a damaged file may get a second try at another place.\n"
    "Costs some time: every file is read once more.";
const char* const namestip =
    "Saves deleted files under their original long names when the card still holds them, instead of "
    "names whose first letter is replaced by 'k'.\nCosts nothing noticeable.";
const char* const carvetip =
    "For photos, videos, music and documents whose names are gone, for instance after the card was "
    "formatted and used again: looks through the card's free space for files by what they contain, and "
    "keeps only those whose contents check out whole; the end counts as plausible those whose format cannot "
    "show that they are one file (BMP, GIF, sound, video, PDF, Office, RAW). They come back without their "
    "names, in the folder "
    "\"lost/carved\", sorted by type; photos keep the date they were taken, and a camera's RAW file and "
    "the JPEG of the same shot sit side by side under one name.\nCosts time: the free space is "
    "read once more, and every file found is checked.";
const char* const imagetip =
    "For a failing card: writes every sector the run reads into a new file on another disk, as large as "
    "the card, and its ddrescue map beside it (the same name with .map), so that the card is read once: a "
    "later run, or ddrescue, goes on from the image. With \"Search lost folders and formatted cards\" the "
    "image is the whole card.\nCosts little: each sector read is written once.";
const char* const noimagetext = "Name a new file for the image of the card, on another disk.";

// A sentence of kov-recover's, begun as a box begins one.
QString sentence(const QString& words) { return words.left(1).toUpper() + words.mid(1); }

}  // namespace

KOVDialog::KOVDialog(QWidget* parent) : QDialog(parent)
{
    auto* grid = new ChoiceGrid(this);
    gridlayout = grid;
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
    diredit->setText(run.recoverdir());

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
    // Long file names must not widen the window while it runs: the lines
    // take the width the grid gives them, at least that of their own
    // widest texts, and show what does not fit in a tooltip.
    int widest = 0;
    for (const char* line : widestlines)
        widest = std::max(widest, namelabel->fontMetrics().horizontalAdvance(QString::fromLatin1(line)));
    namelabel->setMinimumWidth(widest);
    for (QLabel* line : {namelabel, sizelabel, timelabel})
        line->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    progresslabel = new QLabel(this);
    progresslabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);

    choicesbox = new QGroupBox(QStringLiteral("More ways to find files (slower)"), this);
    deepbox = new QCheckBox(QString::fromLatin1(deepchoice));
    deepbox->setToolTip(QString::fromLatin1(deeptip));
    verifybox = new QCheckBox(QString::fromLatin1(verifychoice));
    verifybox->setToolTip(QString::fromLatin1(verifytip));
    namesbox = new QCheckBox(QString::fromLatin1(nameschoice));
    namesbox->setToolTip(QString::fromLatin1(namestip));
    carvebox = new QCheckBox(QString::fromLatin1(carvechoice));
    carvebox->setToolTip(QString::fromLatin1(carvetip));
    imagebox = new QCheckBox(QString::fromLatin1(imagechoice));
    imagebox->setToolTip(QString::fromLatin1(imagetip));
    imageedit = new QLineEdit;
    imageedit->setEnabled(false);
    imagebt = new QPushButton(QStringLiteral("choose"));
    imagebt->setEnabled(false);
    auto* choices = new QVBoxLayout(choicesbox);
    for (QCheckBox* box : {deepbox, verifybox, namesbox, carvebox})
        choices->addWidget(box);
    auto* imagerow = new QHBoxLayout;
    imagerow->addWidget(imagebox);
    imagerow->addWidget(imageedit, 1);
    imagerow->addWidget(imagebt);
    choices->addLayout(imagerow);
    connect(imagebox, &QCheckBox::toggled, imageedit, &QWidget::setEnabled);
    connect(imagebox, &QCheckBox::toggled, imagebt, &QWidget::setEnabled);
    connect(imagebt, &QPushButton::clicked, this, &KOVDialog::on_imagebt_clicked);
    grid->setrowwidget(3, choicesbox);
    grid->setrowwidget(6, progresslabel);

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
    volumecount = run.engine().getallvol();
    volumecount += listfoundvolumes();
    fillingvollist = false;
    if (volumecount < 1) {
        showwarning(novolumetext());
        return;
    }

    resize(400, 300);
    openvolume(vollist->currentText());
}

int KOVDialog::listfoundvolumes()
{
    // Only sources the user named: the search reads the whole source, which
    // listing every disk of the machine at start-up must not do.
    const QStringList named = platform::namedimagefiles();
    int count = 0;
    for (char letter = 'C'; letter <= 'Z'; ++letter) {
        platform::VolumeSource source = platform::sourceforletter(QChar::fromLatin1(letter));
        if (source.path.isEmpty() || source.partition != 0 || !named.contains(source.path))
            continue;
        const QByteArray root = source.root.toLatin1();
        // 3: neither FAT, NTFS nor exFAT in sector 0 or a backup.
        if (run.engine().partitiontype(root.constData()) != 3)
            continue;
        const platform::volhandle handle = platform::opensource(source.root.at(0));
        if (handle == platform::invalidhandle())
            continue;
        layout::LAYOUTSEARCH search(handle, source.size);
        QProgressDialog progress(QStringLiteral("%1 holds no FAT or exFAT volume: looking for its folders...")
                                     .arg(QDir::toNativeSeparators(source.path)),
                                 QStringLiteral("Cancel"), 0, 1000, this);
        progress.setWindowModality(Qt::WindowModal);
        std::optional<std::vector<layout::FOUNDLAYOUT>> searched =
            runlayoutsearch(search, [&progress](const layout::LAYOUTSEARCH& at) {
                progress.setValue(int(at.done() * 1000 / std::max<std::uint64_t>(at.total(), 1)));
                return !progress.wasCanceled();
            });
        platform::closesource(handle);
        if (!searched || searched->empty())
            continue;
        std::vector<layout::FOUNDLAYOUT> found = std::move(*searched);
        source.note = QStringLiteral("no usable boot sector; layout found: %1").arg(found.front().describe());
        foundlayouts[source.root] = std::move(found);
        addvolumeitem(source);
        ++count;
    }
    return count;
}

void KOVDialog::openvolume(const QString& root)
{
    const auto found = foundlayouts.find(root);
    ::openvolume(run.engine(), root, std::nullopt,
                 found != foundlayouts.end() ? found->second : std::vector<layout::FOUNDLAYOUT>());
}

KOVDialog::~KOVDialog() = default;

void KOVDialog::on_vollist_currentIndexChanged(int)
{
    if (fillingvollist)
        return;
    // A run must not go on over another volume: it would save nothing and
    // still report success.
    if (run.rununderway()) {
        endrun();
        setstatuslines(QStringLiteral("Recovery of %1 stopped: another volume was chosen.").arg(runvolume),
                       QString(), QString());
    }
    openvolume(vollist->currentText());
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
    if (!run.rununderway())
        run.setrecoverdir(dir);
    diredit->setText(dir);
}

void KOVDialog::on_imagebt_clicked()
{
    const QString file = QFileDialog::getSaveFileName(this, QString::fromLatin1(imagechoice), QString(), QString(),
                                                      nullptr, QFileDialog::DontConfirmOverwrite);
    if (!file.isEmpty())
        imageedit->setText(QDir::toNativeSeparators(file));
}

bool KOVDialog::startimage(const QString& volume)
{
    const QString file = imageedit->text().trimmed();
    if (file.isEmpty()) {
        showwarning(QString::fromLatin1(noimagetext));
        return false;
    }
    if (const QString why = image.start(file, platform::sourceforletter(volume.at(0)).path); !why.isEmpty()) {
        showwarning(QStringLiteral("%1: %2").arg(file, why));
        return false;
    }
    // Opened again, so that its boot sector and tables are in the image
    // too, as kov-recover reads them after its image is begun.
    openvolume(volume);
    return true;
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
    if (!run.volumeready() && !run.exfatchosen()) {
        showwarning(QStringLiteral("disk open error!"));
        return;
    }
    // The image is refused before the output folder is made, and removed
    // when the run is refused before it began, as kov-recover does.
    const bool imaging = !run.rununderway() && imagebox->isChecked();
    if (imaging && !startimage(volume))
        return;
    const auto refuse = [&](const QString& text) {
        if (imaging)
            image.drop();
        showwarning(text);
    };
    // Recovered names are appended to the directory; without the separator
    // they would land beside it. One box before a run, instead of one per
    // file it could not save.
    const OUTPUTCHECK checked = checkoutput(dir, volume.at(0), QString(), !run.rununderway());
    dir = checked.dir;
    switch (checked.fault) {
    case OUTPUTFAULT::none:
        break;
    case OUTPUTFAULT::sourceitself:  // not asked: the window's folder is chosen as a folder
    case OUTPUTFAULT::onsource:
        refuse(QString::fromLatin1(samedisktext));
        return;
    case OUTPUTFAULT::notcreated:
        refuse(QString::fromLatin1(mkdirtext) + QLatin1Char('\n') + checked.why);
        return;
    case OUTPUTFAULT::notwritable:
        refuse(QStringLiteral("Can not create recovered files in %1: %2").arg(dir, checked.why));
        return;
    }
    run.setrecoverdir(dir);
    // As kov-recover asks for --deep: a found layout holds no walkable
    // root, only the directories the deep scan links.
    if (!run.rununderway() && foundlayouts.count(volume) != 0 && !deepbox->isChecked()) {
        refuse(QString::fromLatin1(founddeeptext).arg(QLatin1String(deepchoice)));
        return;
    }

    run.setpaused(!run.paused());
    if (run.paused()) {
        scantimer->stop();
        setbuttontext(QStringLiteral("Recover"));
        showprogress();
        return;
    }
    setbuttontext(QStringLiteral("Pause"));
    if (!run.rununderway()) {
        runvolume = volume;
        run.setoptions(RUNOPTIONS{deepbox->isChecked(), verifybox->isChecked(), namesbox->isChecked(),
                              carvebox->isChecked()});
        if (!run.startrun()) {
            run.setpaused(true);
            setbuttontext(QStringLiteral("Recover"));
            refuse(run.startfailure().isEmpty() ? QStringLiteral("disk open error!") : run.startfailure());
            return;
        }
        choicesbox->setEnabled(false);
        settledfiles = settledatphase = 0;
        setstatuslines(QString::fromLatin1(collectingtext), QString(), QString());
    }
    showprogress();
    scantimer->start(0);
}

void KOVDialog::scan()
{
    // Steps until the budget is used; a new phase, the first file of a
    // phase, a pause or the run's end also end the slice. Each step is one
    // unit (a walk entry, a read, a file), so a pause lands between two.
    QElapsedTimer slice;
    slice.start();
    const RUNPHASE phaseatstart = run.phase();
    inslice = true;
    do {
        const bool firstofphase = settledfiles == settledatphase;
        const std::uint64_t before = settledfiles;
        run.step();
        if (!run.rununderway() || run.paused() || run.phase() != phaseatstart ||
            (firstofphase && settledfiles != before))
            break;
    } while (slice.elapsed() < slicebudget);
    inslice = false;
    if (run.phase() == RUNPHASE::deepscan)
        showdeepscan();
    if (run.phase() == RUNPHASE::carving)
        showcarving();
    showlines();
    if (run.rununderway())
        showprogress();
}

void KOVDialog::showprogress()
{
    // The walks' place; past them, the run's progress over its plan.
    QString at;
    const int percent = run.walkpercent();
    if (run.phase() == RUNPHASE::collecting)
        at = QStringLiteral("Reading the folders: %1%").arg(percent);
    else if (run.phase() == RUNPHASE::saving)
        at = percent >= 0 ? QStringLiteral("Saving deleted files: %1%").arg(percent)
                          : QStringLiteral("Saving deleted files...");
    else if (run.phase() != RUNPHASE::secondchances)
        at = run.progress().words();
    if (run.paused())
        at = at.isEmpty() ? QStringLiteral("Paused") : QStringLiteral("Paused. ") + at;
    progresslabel->setText(at);
}

QString KOVDialog::outputplace() const { return QDir::toNativeSeparators(QDir(run.recoverdir()).absolutePath()); }

void KOVDialog::phasebegun(RUNPHASE begun)
{
    settledatphase = settledfiles;
    switch (begun) {
    case RUNPHASE::secondchances:
        if (run.runoptions().verify)
            setstatuslines(QStringLiteral("Trying other places for damaged files..."), QString(), QString());
        break;
    case RUNPHASE::layoutsearch:
        setstatuslines(QStringLiteral("Looking for the folders of an earlier format..."), QString(), QString());
        break;
    case RUNPHASE::deepscan:
        showdeepscan();
        break;
    case RUNPHASE::lostfiles:
        setstatuslines(QStringLiteral("Saving the files of lost folders..."), QString(), QString());
        break;
    case RUNPHASE::carving:
        showcarving();
        break;
    default:
        break;
    }
}

void KOVDialog::showdeepscan()
{
    const RUNPROGRESS at = run.progress();
    setstatuslines(QStringLiteral("Searching lost folders: %1%").arg(at.phasepercent()), speed(at),
                   run.exfatchosen() ? QStringLiteral("%1 entry sets found").arg(at.now.found)
                                              : QStringLiteral("%1 folder clusters found").arg(at.now.found));
}

void KOVDialog::showcarving()
{
    const RUNPROGRESS at = run.progress();
    setstatuslines(QStringLiteral("Looking for files by their contents: %1%").arg(at.phasepercent()), speed(at),
                   QStringLiteral("%1 files found").arg(at.now.found));
}

QString KOVDialog::speed(const RUNPROGRESS& at)
{
    return QStringLiteral("%1 MB/s").arg(at.bytespersecond() / 1e6, 0, 'f', 1);
}

void KOVDialog::filesettled(const FILEPARM&, const SAVERECORD&) { ++settledfiles; }

void KOVDialog::imagingstopped(const QString& why) { showwarning(sentence(imagingstoppedtext(image.file(), why))); }

void KOVDialog::runended()
{
    const std::uint64_t saved = run.report().stats.saved;
    progresslabel->setText(QStringLiteral("Recovery ended: %1 saved in %2.")
                               .arg(saved == 1 ? QStringLiteral("1 file") : QStringLiteral("%1 files").arg(saved),
                                    outputplace()));
    const bool relaid = run.relaidout();
    imagewords = image.finish();
    run.tellend();
    imagewords.clear();
    if (relaid)
        openvolume(runvolume);
}

void KOVDialog::endrun()
{
    scantimer->stop();
    run.setpaused(true);
    run.abandonrun();
    image.finish();
    progresslabel->clear();
    choicesbox->setEnabled(true);
    setbuttontext(QStringLiteral("Recover"));
}

void KOVDialog::modalbox(const std::function<void()>& box)
{
    showlines();
    const bool ticking = scantimer->isActive();
    scantimer->stop();
    box();
    if (ticking && !run.paused() && run.rununderway())
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
    choicesbox->setEnabled(true);
    showlines();
    modalbox([&] {
        QMessageBox box(QMessageBox::Information, QStringLiteral("info"), text, QMessageBox::Ok, this);
        const QString folder = outputplace();
        box.setInformativeText(run.report().detail() + QStringLiteral("\nThe files are in %1").arg(folder) +
                               (imagewords.isEmpty() ? QString() : QLatin1Char('\n') + sentence(imagewords)));
        const QAbstractButton* open = box.addButton(QStringLiteral("Open the folder"), QMessageBox::ActionRole);
        box.exec();
        // Without a file manager (or xdg-open) nothing would show at all.
        if (box.clickedButton() == open && !QDesktopServices::openUrl(QUrl::fromLocalFile(folder)))
            QMessageBox::information(this, QStringLiteral("info"),
                                     QStringLiteral("No file manager could be started. The recovered files are "
                                                    "in %1")
                                         .arg(folder),
                                     QMessageBox::Ok, QMessageBox::NoButton);
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
    if (!source.kind.isEmpty())
        tip = source.kind + QStringLiteral(": ") + tip;
    if (!source.note.isEmpty())
        tip += QStringLiteral("\n") + source.note;
    vollist->setItemData(vollist->count() - 1, tip, Qt::ToolTipRole);
}

void KOVDialog::setstatuslines(const QString& name, const QString& size, const QString& time)
{
    pendingname = name;
    pendingsize = size;
    pendingtime = time;
    linespending = true;
    // Labels set for every file of a slice would cost more than the saves.
    if (!inslice)
        showlines();
}

void KOVDialog::showlines()
{
    if (!linespending)
        return;
    linespending = false;
    namelabel->setText(pendingname);
    sizelabel->setText(pendingsize);
    timelabel->setText(pendingtime);
    // What a narrow line cuts off.
    for (QLabel* line : {namelabel, sizelabel, timelabel})
        line->setToolTip(line->fontMetrics().horizontalAdvance(line->text()) > line->width() ? line->text()
                                                                                              : QString());
}

void KOVDialog::setbuttontext(const QString& text)
{
    recoverbt->setText(text);
}
