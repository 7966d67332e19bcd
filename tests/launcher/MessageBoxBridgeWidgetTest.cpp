// Boxes raised by the patch worker: the worker waits for the player's answer, and the
// window's teardown releases a waiting worker instead of joining it forever.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QWidget>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

#include "app/MessageBoxBridge.h"

using nimbrel::MessageBoxBridge;
using namespace std::chrono_literals;

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

// Runs the window thread's loop until the condition holds or two seconds have passed.
bool processUntil(const std::function<bool()>& condition) {
    auto end = std::chrono::steady_clock::now() + 2s;
    while (!condition() && std::chrono::steady_clock::now() < end) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(5ms);
    }
    return condition();
}

class MessageBoxBridgeTest : public ::testing::Test {
protected:
    QApplication& app = application();  // before any widget
    QWidget owner;
    MessageBoxBridge* bridge = new MessageBoxBridge(&owner);
};

}  // namespace

TEST_F(MessageBoxBridgeTest, WorkerWaitsUntilThePlayerAnswers) {
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        bridge->show("root_1.zip file download failed", "Nimbrel");
        returned = true;
    });
    ASSERT_TRUE(processUntil([] { return visibleBox() != nullptr; }));
    EXPECT_EQ(visibleBox()->text(), "root_1.zip file download failed");
    processUntil([] { return false; });  // the box stays up and the worker stays held
    EXPECT_FALSE(returned);

    visibleBox()->button(QMessageBox::Ok)->click();
    EXPECT_TRUE(processUntil([&] { return returned.load(); }));
    worker.join();
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
    std::atomic<bool> asked{false};
    std::thread worker([&] {
        asked = true;
        bridge->show("never shown", "Nimbrel");
    });
    while (!asked) std::this_thread::yield();
    std::this_thread::sleep_for(50ms);  // the request is queued, not yet presented
    bridge->cancelAll();
    worker.join();
    processUntil([] { return false; });
    EXPECT_EQ(visibleBox(), nullptr);
}

TEST_F(MessageBoxBridgeTest, BoxesAfterTeardownReturnAtOnce) {
    bridge->cancelAll();
    std::thread worker([&] { bridge->show("too late", "Nimbrel"); });
    worker.join();
    bridge->show("too late, window thread", "Nimbrel");
    EXPECT_EQ(visibleBox(), nullptr);
}
