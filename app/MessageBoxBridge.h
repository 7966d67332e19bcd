#pragma once
// Message boxes for the patch worker. A step that shows a box waits until the player has
// closed it (the run goes on only once the player has read why); the box itself lives on the
// window's thread and the worker waits for the answer. When the window shuts down, cancelAll()
// closes every box still open and answers every waiting worker, so the worker can finish and
// be joined instead of waiting forever for a box nobody can see any more.

#include <QObject>
#include <QPointer>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class QMessageBox;
class QWidget;

namespace nimbrel {

class MessageBoxBridge : public QObject {
    Q_OBJECT
public:
    explicit MessageBoxBridge(QWidget* owner);
    ~MessageBoxBridge() override;

    // Any thread. Returns when the player has closed the box, or at once after cancelAll().
    void show(const std::string& text, const std::string& caption);
    // Window thread only.
    void cancelAll();
    bool cancelled() const;

private:
    struct Request {
        std::string text;
        std::string caption;
        bool answered = false;
        QPointer<QMessageBox> box;
    };

    void present(const std::shared_ptr<Request>& request);
    void answer(const std::shared_ptr<Request>& request);

    QPointer<QWidget> owner_;
    mutable std::mutex mutex_;
    std::condition_variable answered_;
    bool cancelled_ = false;
    std::vector<std::shared_ptr<Request>> open_;
};

}  // namespace nimbrel
