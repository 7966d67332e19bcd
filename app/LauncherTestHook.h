#pragma once
// Lets the end-to-end tests drive and observe the real launcher. Only the environment turns
// it on (NIMBREL_TEST_CONTROL=<folder>); a player's launcher never has one. In that folder:
//   command  written by the test (atomically), one command a line, taken and removed:
//            "click start|config|join|homepage|x", "answer-box", "close",
//            "drag X Y DX DY" (press on the window at X,Y, move by DX,DY, release),
//            "screenshot FILE" (the window as the screen shows it, as PNG)
//   state    rewritten after every change: key=value lines (geometry, title, Start, bar,
//            labels, result, open message boxes)
//   events   appended: "box <text>" for each message box shown, "done <command>", "closed"

#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QTimer>

namespace nimbrel {

class CNimbrel2Dlg;

class LauncherTestHook : public QObject {
    Q_OBJECT
public:
    explicit LauncherTestHook(const QString& folder);

    void watch(CNimbrel2Dlg* dialog);
    void windowClosed();

private:
    void tick();
    void run(const QString& command);
    void writeState();
    void appendEvent(const QString& line);
    bool screenshot(const QString& file);

    QString folder_;
    QTimer timer_;
    QPointer<CNimbrel2Dlg> dialog_;
    QSet<QObject*> seenBoxes_;
    QString lastState_;
};

}  // namespace nimbrel
