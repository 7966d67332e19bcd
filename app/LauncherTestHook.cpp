#include "app/LauncherTestHook.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFile>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPixmap>
#include <QSaveFile>
#include <QScreen>
#include <QWindow>

#include "app/CNimbrel2Dlg.h"

namespace nimbrel {

LauncherTestHook::LauncherTestHook(const QString& folder) : folder_(folder) {
    if (!folder_.endsWith('/')) folder_ += '/';
    connect(&timer_, &QTimer::timeout, this, &LauncherTestHook::tick);
    // The timer also fires inside the nested loops of modal message boxes, so a test can see
    // and answer a box shown before the window exists.
    timer_.start(30);
}

void LauncherTestHook::watch(CNimbrel2Dlg* dialog) {
    dialog_ = dialog;
    if (dialog) writeState();
}

void LauncherTestHook::windowClosed() {
    writeState();
    appendEvent("closed");
}

void LauncherTestHook::tick() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (!box || !box->isVisible() || seenBoxes_.contains(box)) continue;
        seenBoxes_.insert(box);
        connect(box, &QObject::destroyed, this, [this, box] { seenBoxes_.remove(box); });
        appendEvent("box " + box->text().simplified());
    }

    QFile commands(folder_ + "command");
    if (commands.exists() && commands.open(QIODevice::ReadOnly)) {
        const QString text = QString::fromUtf8(commands.readAll());
        commands.close();
        commands.remove();
        for (const QString& line : text.split('\n', Qt::SkipEmptyParts)) run(line.trimmed());
    }
    writeState();
}

void LauncherTestHook::run(const QString& command) {
    const QStringList words = command.split(' ', Qt::SkipEmptyParts);
    if (words.isEmpty()) return;
    bool ok = true;
    if (words[0] == "click" && words.size() == 2 && dialog_) {
        static const QMap<QString, int> ids{
            {"start", 1}, {"x", 2}, {"config", 1000}, {"join", 1005}, {"homepage", 1006}};
        CImageButton* button = ids.contains(words[1]) ? dialog_->button(ids[words[1]]) : nullptr;
        // click() does nothing on a disabled button, as a real press would. It runs after
        // this tick: a box the click opens runs a nested loop, and the hook's timer does not
        // fire again inside its own slot, so it could not see or answer that box.
        if (button)
            QMetaObject::invokeMethod(button, &QAbstractButton::click, Qt::QueuedConnection);
        else
            ok = false;
    } else if (words[0] == "answer-box") {
        ok = false;
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(widget);
            if (!box || !box->isVisible()) continue;
            if (QAbstractButton* okButton = box->button(QMessageBox::Ok))
                okButton->click();
            else
                box->accept();
            ok = true;
            break;
        }
    } else if (words[0] == "close" && dialog_) {
        QMetaObject::invokeMethod(dialog_, &QDialog::reject, Qt::QueuedConnection);
    } else if (words[0] == "drag" && words.size() == 5 && dialog_) {
        QPoint from(words[1].toInt(), words[2].toInt());
        QPoint by(words[3].toInt(), words[4].toInt());
        QWidget* target = dialog_->childAt(from);
        if (!target) target = dialog_;
        QPoint local = target->mapFrom(dialog_, from);
        auto send = [&](QEvent::Type type, QPoint at, Qt::MouseButtons buttons) {
            QMouseEvent event(type, at, target->mapToGlobal(at), Qt::LeftButton, buttons, Qt::NoModifier);
            QApplication::sendEvent(target, &event);
        };
        send(QEvent::MouseButtonPress, local, Qt::LeftButton);
        send(QEvent::MouseMove, local + by, Qt::LeftButton);
        send(QEvent::MouseButtonRelease, local + by, Qt::NoButton);
    } else if (words[0] == "screenshot" && words.size() == 2) {
        ok = screenshot(words[1]);
    } else {
        ok = false;
    }
    appendEvent((ok ? "done " : "failed ") + command);
}

bool LauncherTestHook::screenshot(const QString& file) {
    if (!dialog_) return false;
    // The screen's own pixels: the web page is composed by the browser engine and a grab of
    // the widget tree alone may not hold it.
    QPixmap pixels;
    if (QScreen* screen = dialog_->screen()) {
        QRect frame = dialog_->frameGeometry();
        pixels = screen->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
    }
    if (pixels.isNull()) pixels = dialog_->grab();
    return pixels.save(file, "PNG");
}

void LauncherTestHook::writeState() {
    QStringList lines;
    if (dialog_) {
        QRect frame = dialog_->frameGeometry();
        lines << QString("title=%1").arg(dialog_->windowTitle());
        lines << QString("geometry=%1,%2,%3,%4").arg(frame.x()).arg(frame.y()).arg(frame.width()).arg(frame.height());
        lines << QString("visible=%1").arg(dialog_->isVisible() ? 1 : 0);
        lines << QString("frameless=%1").arg(dialog_->windowFlags().testFlag(Qt::FramelessWindowHint) ? 1 : 0);
        lines << QString("start_enabled=%1").arg(dialog_->button(1)->isEnabled() ? 1 : 0);
        lines << QString("progress=%1").arg(dialog_->progressPosition());
        if (dialog_->hasResult())
            lines << QString("result=%1 %2").arg(dialog_->resultCode()).arg(dialog_->resultStage());
        for (int id : {1002, 1008, 1010, 1011, 1012, 1013})
            lines << QString("label.%1=%2").arg(id).arg(QString::fromStdString(dialog_->label(id)->text()));
        const StartupFlags& flags = dialog_->startupFlags();
        lines << QString("flags=connect:%1 manual:%2 sync:%3")
                     .arg(flags.connectToServer)
                     .arg(flags.manualPatch)
                     .arg(flags.syncRequested);
        lines << QString("page=%1").arg(QString::fromStdString(dialog_->currentPage()));
        auto rect = [](const QRect& r) {
            return QString("%1,%2,%3,%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
        };
        for (int id : {1, 2, 1000, 1005, 1006})
            lines << QString("rect.%1=%2").arg(id).arg(rect(dialog_->button(id)->geometry()));
        for (int id : {1002, 1008, 1010, 1011, 1012, 1013})
            lines << QString("rect.%1=%2").arg(id).arg(rect(dialog_->label(id)->geometry()));
        if (dialog_->progressBar()) lines << "rect.progress=" + rect(dialog_->progressBar()->geometry());
        lines << "rect.browser=" + rect(dialog_->browser()->geometry());
        lines << "mask.browser=" + rect(dialog_->browser()->mask().boundingRect());
    }
    int openBoxes = 0;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (qobject_cast<QMessageBox*>(widget) && widget->isVisible()) ++openBoxes;
    lines << QString("boxes=%1").arg(openBoxes);
    QString state = lines.join('\n') + '\n';
    if (state == lastState_) return;
    QSaveFile out(folder_ + "state");
    if (out.open(QIODevice::WriteOnly)) {
        out.write(state.toUtf8());
        if (out.commit()) lastState_ = state;
    }
}

void LauncherTestHook::appendEvent(const QString& line) {
    QFile events(folder_ + "events");
    if (events.open(QIODevice::WriteOnly | QIODevice::Append)) events.write((line + '\n').toUtf8());
}

}  // namespace nimbrel
