#pragma once
// Drives and observes the real launcher window for the end-to-end tests, from inside a
// test-only copy of the launcher (never the shipped one). The window is found among the
// top-level widgets and its controls by their object names. In the folder it is given:
//   command  written by the test (atomically), one command a line, taken and removed:
//            "click start|config|join|homepage|x", "answer-box", "close",
//            "screenshot FILE" (the window as the screen shows it, as PNG)
//   state    rewritten after every change: key=value lines (geometry, title, Start, bar,
//            labels, result, open message boxes)
//   events   appended: "box <text>" for each message box shown, "result <result> <stage>" as
//            the worker posted it, "done <command>", "closed"

#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QTimer>

namespace nimbrel {

class LauncherWindow;

class LauncherTestHook : public QObject {
    Q_OBJECT
public:
    explicit LauncherTestHook(const QString& folder);

    void windowClosed();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void tick();
    void findWindow();
    void run(const QString& command);
    void writeState();
    void appendEvent(const QString& line);
    bool screenshot(const QString& file);
    template <typename T>
    T* control(const char* name) const;

    QString folder_;
    QTimer timer_;
    QPointer<LauncherWindow> window_;
    QSet<QObject*> seenBoxes_;
    QString lastState_;
    QString result_;
};

}  // namespace nimbrel
