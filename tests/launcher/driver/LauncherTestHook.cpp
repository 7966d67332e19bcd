#include "tests/launcher/driver/LauncherTestHook.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFile>
#include <QMessageBox>
#include <QPixmap>
#include <QSaveFile>
#include <QScreen>
#include <QWindow>

#include "app/LauncherWindow.h"
#include "app/PatchMessageEvent.h"
#include "platform/WindowMessages.h"

namespace nimbrel {

LauncherTestHook::LauncherTestHook(const QString& folder) : folder_(folder) {
    if (!folder_.endsWith('/')) folder_ += '/';
    connect(&timer_, &QTimer::timeout, this, &LauncherTestHook::tick);
    // Application-wide: a quick run posts its result before the window is first seen.
    qApp->installEventFilter(this);
    // The timer also fires inside the nested loops of modal message boxes, so a test can see
    // and answer a box shown before the window exists.
    timer_.start(30);
}

void LauncherTestHook::windowClosed() { appendEvent("closed"); }

template <typename T>
T* LauncherTestHook::control(const char* name) const {
    return window_ ? window_->findChild<T*>(name) : nullptr;
}

void LauncherTestHook::findWindow() {
    if (window_) return;
    // Watched only once shown: before that the controls hold the toolkit's defaults (an
    // enabled Start), which a test must never mistake for the launcher's state.
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* window = qobject_cast<LauncherWindow*>(widget);
        if (!window || !window->isVisible()) continue;
        window_ = window;
        // The state the window closes with is the last one a test can read.
        connect(window, &QDialog::finished, this, [this] {
            writeState();
            windowClosed();
        });
    }
}

bool LauncherTestHook::eventFilter(QObject* watched, QEvent* event) {
    // The result as the worker posted it; the state shows it from the next tick on, after the
    // window has acted on it.
    if (event->type() == PatchMessageEvent::eventType() && qobject_cast<LauncherWindow*>(watched)) {
        auto* message = static_cast<PatchMessageEvent*>(event);
        if (message->message == WM_PATCH_RESULT) {
            result_ = QString("%1 %2").arg(message->value).arg(message->stage);
            appendEvent("result " + result_);
        }
    }
    return false;
}

void LauncherTestHook::tick() {
    findWindow();
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
    if (words[0] == "click" && words.size() == 2 && window_) {
        static const QMap<QString, const char*> names{
            {"start", "start"}, {"x", "close"}, {"config", "config"}, {"join", "join"}, {"homepage", "homePage"}};
        auto* button = names.contains(words[1]) ? control<QAbstractButton>(names[words[1]]) : nullptr;
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
    } else if (words[0] == "close" && window_) {
        QMetaObject::invokeMethod(window_, &QDialog::reject, Qt::QueuedConnection);
    } else if (words[0] == "screenshot" && words.size() == 2) {
        ok = screenshot(words[1]);
    } else {
        ok = false;
    }
    appendEvent((ok ? "done " : "failed ") + command);
}

bool LauncherTestHook::screenshot(const QString& file) {
    if (!window_) return false;
    // The screen's own pixels: the web page is composed by the browser engine and a grab of
    // the widget tree alone may not hold it.
    QPixmap pixels;
    if (QScreen* screen = window_->screen()) {
        QRect frame = window_->frameGeometry();
        pixels = screen->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
    }
    if (pixels.isNull()) pixels = window_->grab();
    return pixels.save(file, "PNG");
}

void LauncherTestHook::writeState() {
    static const std::pair<int, const char*> labels[] = {
        {IDC_ITEM_LABEL, "itemLabel"},           {IDC_VERSION_LABEL, "versionLabel"},
        {IDC_COUNTER_LABEL, "counterLabel"},     {IDC_STATUS_LABEL, "statusLabel"},
        {IDC_VERSION_CAPTION, "versionCaption"}, {IDC_COUNTER_CAPTION, "counterCaption"},
    };
    auto rect = [](const QRect& r) {
        return QString("%1,%2,%3,%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
    };
    QStringList lines;
    if (window_) {
        QRect frame = window_->frameGeometry();
        lines << QString("title=%1").arg(window_->windowTitle());
        lines << QString("geometry=%1").arg(rect(frame));
        lines << QString("visible=%1").arg(window_->isVisible() ? 1 : 0);
        lines << QString("frameless=%1").arg(window_->windowFlags().testFlag(Qt::FramelessWindowHint) ? 1 : 0);
        if (auto* start = control<QAbstractButton>("start")) {
            lines << QString("start_enabled=%1").arg(start->isEnabled() ? 1 : 0);
            lines << QString("start_text=%1").arg(start->text());
        }
        if (auto* bar = control<SkinnedProgressBar>("progress")) {
            // A full bar has its head at or past the right edge.
            lines
                << QString("progress_full=%1").arg(bar->headPosition() >= static_cast<unsigned>(bar->width()) ? 1 : 0);
        }
        if (!result_.isEmpty()) lines << "result=" + result_;
        for (const auto& [id, name] : labels)
            if (auto* label = control<TransparentLabel>(name))
                lines << QString("label.%1=%2").arg(id).arg(QString::fromStdString(label->text()));
        if (auto* browser = control<NewsView>("browser"))
            lines << QString("page=%1").arg(QString::fromStdString(browser->currentUrl()));
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
