// The recovery window: one dialog that shows the engine's state and turns the
// user's three commands into calls on it. All volume work stays in KOVCore.
#pragma once

#include "model/kovcore.h"

#include <QDialog>

#include <functional>

class QComboBox;
class QGridLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;

class KOVDialog : public QDialog, public KOVCore {
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

private:
    // The engine's hooks, shown with the widgets.
    void showwarning(const QString& text) override;
    void showinformation(const QString& text) override;
    void addvolumeitem(const platform::VolumeSource& source) override;
    void setstatuslines(const QString& name, const QString& size, const QString& time) override;
    void setbuttontext(const QString& text) override;

    // Stops the run under way, running or paused, without the end-of-run box.
    void endrun();
    // Runs a modal box with scantimer stopped, so that no tick starts in the
    // box's event loop, and restarts it if the run is still going afterwards.
    void modalbox(const std::function<void()>& box);

    int volumecount = 0;
    // The volume the run under way (running or paused) reads.
    QString runvolume;
};
