// The recovery window: one dialog that holds a run, shows its events and
// state, and turns the user's three commands and choices into calls on it.
// All volume work stays in the run.
#pragma once

#include "run/run.h"
#include "run/runevents.h"
#include "run/runimage.h"

#include <QDialog>
#include <QElapsedTimer>

#include <functional>
#include <map>
#include <vector>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QGridLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;

class KOVDialog : public QDialog, public RUNEVENTS {
    Q_OBJECT

public:
    // Builds the window, lists the FAT volumes and initialises the first one.
    // When there is none it shows the warning and returns with novolume()
    // true; the caller must then end the process (status 1) without showing
    // the window.
    explicit KOVDialog(QWidget* parent = nullptr);
    ~KOVDialog() override;

    bool novolume() const { return volumecount < 1; }

public slots:
    // The argument is ignored: the current text of vollist is what counts.
    void on_vollist_currentIndexChanged(int);
    void on_changedirbt_clicked();
    void on_recoverbt_clicked();
    void on_imagebt_clicked();
    void scan();

public:
    QLabel* disklabel = nullptr;
    QLabel* dirlabel = nullptr;
    QComboBox* vollist = nullptr;
    QLineEdit* diredit = nullptr;
    QPushButton* changedirbt = nullptr;
    QPushButton* recoverbt = nullptr;
    QLabel* namelabel = nullptr;
    QLabel* sizelabel = nullptr;
    QLabel* timelabel = nullptr;
    QGridLayout* gridlayout = nullptr;
    QTimer* scantimer = nullptr;
    // The choices beyond the plain two walks, all off at start and never kept.
    QGroupBox* choicesbox = nullptr;
    QCheckBox* deepbox = nullptr;
    QCheckBox* verifybox = nullptr;
    QCheckBox* namesbox = nullptr;
    QCheckBox* carvebox = nullptr;
    // The image of the card made as the run reads it, into the new file
    // imageedit names ("choose" asks for it); off at start.
    QCheckBox* imagebox = nullptr;
    QLineEdit* imageedit = nullptr;
    QPushButton* imagebt = nullptr;
    // Below the status lines: how far the walks are, "Paused", and after a
    // run that it ended and where the files are.
    QLabel* progresslabel = nullptr;
    // The work of one timer event: steps until this many milliseconds are
    // used, so that the window repaints and answers a click between them.
    static constexpr int slicebudget = 10;
    // The run the window shows and drives.
    RUN run{*this};

private:
    // The run's events, shown with the widgets: the core's,
    void showwarning(const QString& text) override;
    void showinformation(const QString& text) override;
    void addvolumeitem(const platform::VolumeSource& source) override;
    void setstatuslines(const QString& name, const QString& size, const QString& time) override;
    void setbuttontext(const QString& text) override;
    // and the run's own.
    void phasebegun(RUNPHASE phase) override;
    void runended() override;
    void filesettled(const FILEPARM& file, const SAVERECORD& record) override;
    void imagingstopped(const QString& why) override;

    // The status lines set during a slice, shown when it ends.
    void showlines();
    // The run's place in progresslabel.
    void showprogress();
    // The output directory as a full path, for telling where the files are.
    QString outputplace() const;
    // The deep scan's percent and speed in the status lines.
    void showdeepscan();
    // Carving's progress in the status lines.
    void showcarving();
    // The second status line of both: the source read a second.
    static QString speed(const RUNPROGRESS& at);
    // Lays out the volume at root ("C:\\"...) for the next run.
    void openvolume(const QString& root);
    // Lists the sources named on the command line that have no boot sector
    // but whose layout their directories give away; returns how many.
    int listfoundvolumes();
    // Begins the image of the volume's source for the run about to start;
    // false, with the box that says why, when it cannot be.
    bool startimage(const QString& volume);
    // Stops the run under way, running or paused, without the end-of-run box.
    void endrun();
    // Runs a modal box with scantimer stopped, so that no tick starts in the
    // box's event loop, and restarts it if the run is still going afterwards.
    void modalbox(const std::function<void()>& box);

    int volumecount = 0;
    // The volume list is being filled: its index changes are no choice.
    bool fillingvollist = false;
    // The layouts found for listed sources without a boot sector, by root;
    // the first is the one the volume is laid out from.
    std::map<QString, std::vector<layout::FOUNDLAYOUT>> foundlayouts;
    // The volume the run under way (running or paused) reads.
    QString runvolume;
    // Status lines waiting for the end of the slice.
    bool inslice = false;
    bool linespending = false;
    QString pendingname, pendingsize, pendingtime;
    // Files settled before the phase under way began: its first file ends
    // its slice, so that it shows as soon as it is saved.
    std::uint64_t settledatphase = 0;
    std::uint64_t settledfiles = 0;
    // The image of the run under way, and what the end box says of it.
    RUNIMAGE image;
    QString imagewords;
};
