// One recovery through the window, timed as a user would see it: from the
// click on Recover to the end box, with the longest gap between two
// repaints of the window and the longest time the event loop kept a timer
// (and so a click on Pause) waiting. Halfway through, Pause is clicked and
// the run resumed; that pause is left out of the run's time.
//
//   kov_windowrun IMAGE OUTDIR [--deep] [--verify] [--original-names]
//
// Prints one line: seconds, repaints, longest repaint gap (ms), longest
// round of the event loop (ms), the pause's answer time (ms), files saved.
#include "app/kovdialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <functional>

namespace {

// Repaints of the window: the moments its widgets were painted.
struct PaintProbe : QObject {
    explicit PaintProbe(QWidget* window, const QElapsedTimer& clock) : window(window), clock(clock) {}
    bool eventFilter(QObject* object, QEvent* event) override
    {
        auto* widget = qobject_cast<QWidget*>(object);
        // Gaps while the run is under way: making the end box is not the run.
        if (counting && event->type() == QEvent::Paint && widget && widget->window() == window &&
            (!phase || phase() != 0)) {
            const qint64 now = clock.nsecsElapsed();
            if (now - last > 1000000) {  // the widgets of one repaint count once
                if (now - last > longest) {
                    longest = now - last;
                    where = phase ? phase() : 0;
                }
                ++repaints;
            }
            last = now;
        }
        return false;
    }
    QWidget* window;
    const QElapsedTimer& clock;
    bool counting = false;
    qint64 last = 0, longest = 0;
    long repaints = 0;
    std::function<int()> phase;  // the run's phase when the longest gap ended
    int where = 0;
};

}  // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: kov_windowrun IMAGE OUTDIR [--deep] [--verify] [--original-names]\n");
        return 2;
    }
    platform::setblockdevicesenabled(false);
    platform::setimagefiles({args[1]});
    KOVDialog d;
    if (d.novolume())
        return 1;
    d.show();
    d.deepbox->setChecked(args.contains("--deep"));
    d.verifybox->setChecked(args.contains("--verify"));
    d.namesbox->setChecked(args.contains("--original-names"));
    d.diredit->setText(args[2]);

    QElapsedTimer clock;
    PaintProbe probe(&d, clock);
    probe.phase = [&] { return int(d.run.phase()); };
    app.installEventFilter(&probe);

    // A zero-interval timer fires on every round of the event loop: the
    // longest time between two of its firings is the longest a click waits.
    qint64 latest = 0, previous = 0;
    int phasebefore = 0, longestfrom = 0, longestto = 0;
    QTimer lateness;
    QObject::connect(&lateness, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        if (previous != 0 && probe.counting && now - previous > latest) {
            latest = now - previous;
            longestfrom = phasebefore;
            longestto = int(d.run.phase());
        }
        previous = now;
        phasebefore = int(d.run.phase());
    });

    // Pause once, 40% into kov-recover's time if given (KOV_PAUSE_MS), for
    // 200 ms; the answer is the time from the click's due moment to paused.
    const qint64 pauseat = qEnvironmentVariableIntValue("KOV_PAUSE_MS") * 1000000LL;
    qint64 pausedfor = 0, pauseanswer = -1;
    QTimer pauser;
    pauser.setSingleShot(true);
    pauser.setTimerType(Qt::PreciseTimer);
    QObject::connect(&pauser, &QTimer::timeout, [&] {
        if (!d.run.rununderway())
            return;
        const qint64 clicked = clock.nsecsElapsed();
        pauseanswer = clicked - pauseat;
        d.recoverbt->click();
        if (!d.run.paused())
            return;
        // A paused window has nothing to repaint: the pause is no gap.
        probe.counting = false;
        QTimer::singleShot(200, [&, clicked] {
            pausedfor = clock.nsecsElapsed() - clicked;
            probe.last = clock.nsecsElapsed();
            previous = 0;
            probe.counting = true;
            d.recoverbt->click();
        });
    });

    // The end box: the run's end; answered at once.
    qint64 end = -1;
    QTimer watcher;
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            if (end < 0 && box->windowTitle() == "info")
                end = clock.nsecsElapsed();
            probe.counting = false;
            box->button(QMessageBox::Ok)->click();
        } else if (end >= 0) {
            app.quit();
        }
    });

    QTimer::singleShot(500, [&] {
        clock.start();
        probe.counting = true;
        lateness.start(0);
        d.recoverbt->click();
        if (pauseat > 0)
            pauser.start(int(pauseat / 1000000));
        watcher.start(1);
    });
    app.exec();
    const double seconds = double(end - pausedfor) / 1e9;
    if (qEnvironmentVariableIsSet("KOV_WHERE"))
        std::fprintf(stderr, "longest round from phase %d to %d; longest repaint gap ended in phase %d\n",
                     longestfrom, longestto, probe.where);
    std::printf("%.3f s, %ld repaints, longest gap %.1f ms, longest event-loop round %.1f ms, pause answered in "
                "%.1f ms, %llu files saved\n",
                seconds, probe.repaints, double(probe.longest) / 1e6, double(latest) / 1e6,
                double(pauseanswer) / 1e6, static_cast<unsigned long long>(d.run.report().stats.saved));
    return 0;
}
