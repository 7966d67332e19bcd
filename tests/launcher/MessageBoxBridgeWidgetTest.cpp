// Boxes raised by the patch worker: the worker waits for the player's answer, and the
// window's teardown releases a waiting worker instead of joining it forever.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <QWidget>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <thread>

#include "app/MessageBoxBridge.h"

using nimbrel::MessageBoxBridge;

namespace {

QApplication& application() {
    static int argc = 1;
    static char name[] = "MessageBoxBridgeWidgetTest";
    static char* argv[] = {name, nullptr};
    if (!std::getenv("DISPLAY") && !std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // Never destroyed: tearing the toolkit down during static destruction, after the
    // platform plugin has gone, crashes the process after the tests have passed.
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

QMessageBox* visibleBox() {
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible()) return box;
    return nullptr;
}

// Runs the window thread's loop until the condition holds (the deadline only ends a test
// that would otherwise hang).
bool processUntil(const std::function<bool()>& condition) { return QTest::qWaitFor(condition, 60000); }

// Calls the bridge's cancelAll() on the window thread the moment a worker's request for a box
// arrives there, before the box is presented.
class CancelOnArrival : public QObject {
public:
    explicit CancelOnArrival(MessageBoxBridge* bridge) : bridge_(bridge) { bridge->installEventFilter(this); }
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::MetaCall) bridge_->cancelAll();
        return false;
    }

private:
    MessageBoxBridge* bridge_;
};

class MessageBoxBridgeTest : public ::testing::Test {
protected:
    QApplication& app = application();  // before any widget
    QWidget owner;
    MessageBoxBridge* bridge = new MessageBoxBridge(&owner);
};

}  // namespace

TEST_F(MessageBoxBridgeTest, WorkerWaitsUntilThePlayerAnswers) {
    std::atomic<bool> answered{false};
    std::atomic<bool> returned{false};
    std::atomic<bool> returnedBeforeTheAnswer{false};
    std::thread worker([&] {
        bridge->show("root_1.zip file download failed", "Nimbrel");
        returnedBeforeTheAnswer = !answered;
        returned = true;
    });
    ASSERT_TRUE(processUntil([] { return visibleBox() != nullptr; }));
    EXPECT_EQ(visibleBox()->text(), "root_1.zip file download failed");

    answered = true;
    visibleBox()->button(QMessageBox::Ok)->click();
    EXPECT_TRUE(processUntil([&] { return returned.load(); }));
    worker.join();
    EXPECT_FALSE(returnedBeforeTheAnswer);
}

TEST_F(MessageBoxBridgeTest, TeardownReleasesAWaitingWorkerAndClosesItsBox) {
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        bridge->show("waiting", "Nimbrel");
        returned = true;
    });
    ASSERT_TRUE(processUntil([] { return visibleBox() != nullptr; }));
    bridge->cancelAll();
    worker.join();  // would hang if the worker were still waiting
    EXPECT_TRUE(returned);
    EXPECT_TRUE(processUntil([] { return visibleBox() == nullptr; }));
}

TEST_F(MessageBoxBridgeTest, TeardownBeforeTheBoxIsShownStillReleasesTheWorker) {
    CancelOnArrival cancel(bridge);
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        bridge->show("never shown", "Nimbrel");
        returned = true;
    });
    // The request is delivered (and cancelled on arrival) in this loop; presenting it comes after.
    EXPECT_TRUE(processUntil([&] { return returned.load(); }));
    worker.join();
    EXPECT_TRUE(bridge->cancelled());
    EXPECT_EQ(visibleBox(), nullptr);
}

TEST_F(MessageBoxBridgeTest, BoxesAfterTeardownReturnAtOnce) {
    bridge->cancelAll();
    std::thread worker([&] { bridge->show("too late", "Nimbrel"); });
    worker.join();
    bridge->show("too late, window thread", "Nimbrel");
    EXPECT_EQ(visibleBox(), nullptr);
}
