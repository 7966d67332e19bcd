#include "app/MessageBoxBridge.h"

#include <QMessageBox>
#include <QThread>
#include <QWidget>
#include <algorithm>

namespace nimbrel {

MessageBoxBridge::MessageBoxBridge(QWidget* owner) : QObject(owner), owner_(owner) {}

MessageBoxBridge::~MessageBoxBridge() {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_ = true;
    answered_.notify_all();
}

bool MessageBoxBridge::cancelled() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return cancelled_;
}

void MessageBoxBridge::show(const std::string& text, const std::string& caption) {
    if (QThread::currentThread() == thread()) {
        if (cancelled()) return;
        // On the window's own thread the box is modal in the plain way; the event loop it
        // runs keeps the window's other work going.
        QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(caption), QString::fromStdString(text),
                        QMessageBox::Ok, owner_);
        box.exec();
        return;
    }
    auto request = std::make_shared<Request>();
    request->text = text;
    request->caption = caption;
    std::unique_lock<std::mutex> lock(mutex_);
    if (cancelled_) return;
    QMetaObject::invokeMethod(
        this, [this, request] { present(request); }, Qt::QueuedConnection);
    answered_.wait(lock, [&] { return request->answered || cancelled_; });
}

void MessageBoxBridge::present(const std::shared_ptr<Request>& request) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (cancelled_ || request->answered) return;
    }
    auto* box = new QMessageBox(QMessageBox::NoIcon, QString::fromStdString(request->caption),
                                QString::fromStdString(request->text), QMessageBox::Ok, owner_);
    box->setAttribute(Qt::WA_DeleteOnClose);
    // Modal to the launcher window only: the worker waits, the window keeps painting.
    box->setWindowModality(Qt::WindowModal);
    request->box = box;
    connect(box, &QMessageBox::finished, this, [this, request] { answer(request); });
    {
        std::lock_guard<std::mutex> lock(mutex_);
        open_.push_back(request);
    }
    box->open();
}

void MessageBoxBridge::answer(const std::shared_ptr<Request>& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    request->answered = true;
    open_.erase(std::remove(open_.begin(), open_.end(), request), open_.end());
    answered_.notify_all();
}

void MessageBoxBridge::cancelAll() {
    std::vector<std::shared_ptr<Request>> open;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        cancelled_ = true;
        open.swap(open_);
        for (auto& request : open) request->answered = true;
        answered_.notify_all();
    }
    // Closed outside the lock: closing emits finished(), whose handler takes the lock.
    for (auto& request : open)
        if (request->box) request->box->close();
}

}  // namespace nimbrel
