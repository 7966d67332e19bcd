// The launcher window in this process, driven with QTest against a real patch server on
// 127.0.0.1 in a throwaway game folder: what the window shows when a run ends, where its
// controls sit, and dragging it. Needs a display (run under xvfb-run); skips without one.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#ifdef NIMBREL_HAVE_QT_GUI
#include <QAbstractButton>
#include <QApplication>
#include <QHelpEvent>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPixmap>
#include <QRandomGenerator>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <string>

#include "app/LauncherWindow.h"
#include "app/PatchMessageEvent.h"
#include "controls/SkinnedProgressBar.h"
#include "controls/TransparentLabel.h"
#include "engine/VersionTokenTable.h"
#include "pack/PackEntryDate.h"
#include "pack/PackWriter.h"
#include "platform/GameProcessProbe.h"
#include "platform/ProcessLauncher.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ReadFile.h"
#include "tests/support/TempGameFolder.h"
#include "tests/support/TestHttpServer.h"

namespace nimbrel {
namespace {

using namespace std::chrono_literals;
constexpr const char* kPatchFolder = "/quorlanpatch/plus_real/";

QApplication& application() {
    static int argc = 1;
    static char name[] = "LauncherWidgetTest";
    static char* argv[] = {name, nullptr};
    // Never destroyed: tearing the toolkit down during static destruction crashes the process.
    static QApplication* app = [] {
        // The embedded page shares the window's GL context, as in the launcher's own start-up.
        QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
        return new QApplication(argc, argv);
    }();
    return *app;
}

std::string zipped(const test::TempGameFolder& scratch, const std::map<std::string, std::string>& files) {
    PackWriter writer(scratch.file("patch.zip"));
    for (const auto& [name, content] : files)
        writer.addBuffer(name, reinterpret_cast<const unsigned char*>(content.data()), content.size(), PackEntryDate{});
    EXPECT_EQ(writer.close(), 0);
    return scratch.read("patch.zip");
}

void installVersion(const test::TempGameFolder& game, int version) {
    game.write("version.ini", std::string("[DEFAULT]\r\nCUR_VERSION") + VersionTokenTable::tokenForVersion(version));
}

// A press on the window at a point, a move by an offset and the release, delivered to whatever
// lies there as the display would.
void drag(QWidget& window, QPoint from, QPoint by) {
    QWidget* target = window.childAt(from) ? window.childAt(from) : &window;
    const QPoint local = target->mapFrom(&window, from);
    auto send = [&](QEvent::Type type, QPoint at, Qt::MouseButtons buttons) {
        QMouseEvent event(type, at, target->mapToGlobal(at), Qt::LeftButton, buttons, Qt::NoModifier);
        QApplication::sendEvent(target, &event);
    };
    send(QEvent::MouseButtonPress, local, Qt::LeftButton);
    send(QEvent::MouseMove, local + by, Qt::LeftButton);
    send(QEvent::MouseButtonRelease, local + by, Qt::NoButton);
}

class LauncherWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY"))
            GTEST_SKIP() << "the launcher window needs a display; run under xvfb-run";
        application();
        // Our own lock and cache: a launcher on this machine is neither disturbed nor in the way.
        ::chmod(side.makeFolder("runtime").c_str(), 0700);
        ::setenv("XDG_RUNTIME_DIR", side.file("runtime").c_str(), 1);
        ::setenv("XDG_CACHE_HOME", side.file("cache").c_str(), 1);
        ::setenv("NIMBREL_PATCH_URL", server.url(kPatchFolder).c_str(), 1);
        test::ChildProcess::Options options;
        options.outputFolder = side.path();
        ASSERT_EQ(test::ChildProcess::run({MAKE_SKIN_PATH, game.path()}, options).exitCode, 0);
        installVersion(game, 0);
        server.setFile(std::string(kPatchFolder) + "version.ini",
                       "CUR_VERSION = 1\r\n[VERSION = 1]\r\nroot=root_1.zip\r\n");
        server.setFile(std::string(kPatchFolder) + "root_1.zip", zipped(side, {{"notice.txt", "version 1\n"}}));
    }

    // Keys go to the active window, and only there does the focused button show its mark.
    static void showActive(QWidget& window) {
        window.show();
        window.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&window, 60000));
    }

    static QLabel* visibleToolTip() {
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (widget->inherits("QTipLabel") && widget->isVisible()) return qobject_cast<QLabel*>(widget);
        return nullptr;
    }

    // What the display shows there, tooltips included, kept with the build's artifacts.
    static void saveScreenshot(const std::string& name, const QRect& area) {
        std::filesystem::create_directories(NIMBREL_ARTIFACT_DIR);
        // Paints still pending (a focus mark just moved) reach the display first.
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (widget->isVisible()) widget->repaint();
        QScreen* screen = QGuiApplication::primaryScreen();
        ASSERT_NE(screen, nullptr);
        const QPixmap shot = screen->grabWindow(0, area.x(), area.y(), area.width(), area.height());
        EXPECT_TRUE(shot.save(QString::fromStdString(std::string(NIMBREL_ARTIFACT_DIR) + "/" + name)));
    }

    static QMessageBox* visibleBox() {
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible()) return box;
        return nullptr;
    }

    // Runs the window until the run has ended (its status line names the outcome), answering
    // any message box a step shows on the way.
    bool runUntilStatus(LauncherWindow& window, const std::string& status) {
        auto* label = window.findChild<TransparentLabel*>("statusLabel");
        auto end = std::chrono::steady_clock::now() + 60s;
        while (std::chrono::steady_clock::now() < end) {
            if (label->text() == status) return true;
            if (QMessageBox* box = visibleBox()) box->accept();
            QTest::qWait(20);
        }
        ADD_FAILURE() << "status line still \"" << label->text() << "\"";
        return false;
    }

    test::TestHttpServer server;
    test::TempGameFolder game;
    test::TempGameFolder side;
};

// A failure without a text of its own would leave the last stage text standing with Start
// disabled, which looks like a hang; a success must show the version it wrote.
TEST_F(LauncherWindowTest, EndOfARunShowsItsOutcomeAndTheInstalledVersion) {
    struct Case {
        const char* name;
        std::function<void(const test::TempGameFolder&)> prepare;
        std::string status;
        std::string version;
        std::string startText;
        std::string item;  // empty: not checked
    } cases[] = {
        {"patched", [](const auto&) {}, "Completed Update File", "1", "Start", ""},
        // Not the last folder the packing passes named.
        {"already current", [](const auto& g) { installVersion(g, 1); }, "It is the latest version", "", "Start",
         "It is the latest version"},
        // A folder where the patch writes a file: the archive cannot be extracted (-8).
        {"extraction fails", [](const auto& g) { g.write("notice.txt/keep", "in the way"); },
         "Cannot write the patched files. Please check the game folder", "", "Retry", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempGameFolder folder;
        std::filesystem::copy(game.path(), folder.path(), std::filesystem::copy_options::recursive);
        c.prepare(folder);
        {
            LauncherWindow window("", folder.path());
            window.start();
            window.show();
            ASSERT_TRUE(runUntilStatus(window, c.status));
            auto* start = window.findChild<QAbstractButton*>("start");
            EXPECT_TRUE(start->isEnabled());
            EXPECT_EQ(start->text().toStdString(), c.startText);
            if (!c.version.empty()) {
                EXPECT_EQ(window.findChild<TransparentLabel*>("versionLabel")->text(), c.version);
            }
            if (!c.item.empty()) {
                EXPECT_EQ(window.findChild<TransparentLabel*>("itemLabel")->text(), c.item);
                EXPECT_EQ(window.findChild<TransparentLabel*>("counterLabel")->text(), "");
            }
        }
        EXPECT_EQ(folder.read("version.ini").substr(22), VersionTokenTable::tokenForVersion(c.startText == "Start"));
    }
}

// A failed run must leave the player something to do: the whole text within reach, the bar
// and the item line where the patch stopped (not where the packing passes ended), and Start
// turned into Retry, which patches again in the same window once the server has the file.
TEST_F(LauncherWindowTest, FailedRunOffersRetryAndTheSecondAttemptPatches) {
    server.remove(std::string(kPatchFolder) + "root_1.zip");
    LauncherWindow window("", game.path());
    window.start();
    showActive(window);
    auto* status = window.findChild<TransparentLabel*>("statusLabel");
    auto* start = window.findChild<QAbstractButton*>("start");

    // While the box waits for the player, the status line gives its text.
    QMessageBox* box = nullptr;
    ASSERT_TRUE(QTest::qWaitFor([&] { return (box = visibleBox()) != nullptr; }, 60000));
    EXPECT_EQ(status->text(), box->text().toStdString());
    box->accept();

    const std::string failure = "An error has occurred while attempting to download file";
    ASSERT_TRUE(runUntilStatus(window, failure));
    showActive(window);  // a window manager gives it back after the box; the virtual display has none
    saveScreenshot("launcher-failure-retry.png", window.frameGeometry());
    // The line is too short for it: the whole text is a hover away.
    QHelpEvent hover(QEvent::ToolTip, QPoint(5, 5), status->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(status, &hover);
    QLabel* tip = nullptr;
    ASSERT_TRUE(QTest::qWaitFor([&] { return (tip = visibleToolTip()) != nullptr; }, 60000));
    EXPECT_EQ(tip->text().toStdString(), failure);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(tip, 60000));
    saveScreenshot("launcher-failure-whole-text.png", window.frameGeometry().united(tip->geometry()));
    EXPECT_EQ(window.findChild<TransparentLabel*>("itemLabel")->text(), "root_1.zip");
    SkinnedProgressBar full;
    full.setGeometry(window.findChild<QWidget*>("progress")->geometry());
    full.setRange(0, 100);
    full.setValue(100);
    EXPECT_LT(window.findChild<SkinnedProgressBar*>("progress")->headPosition(), full.headPosition());
    EXPECT_EQ(start->text(), "Retry");
    ASSERT_TRUE(start->isEnabled());
    ASSERT_EQ(window.focusWidget(), start);

    server.setFile(std::string(kPatchFolder) + "root_1.zip", zipped(side, {{"notice.txt", "version 1\n"}}));
    QTest::keyClick(window.focusWidget(), Qt::Key_Return);
    EXPECT_FALSE(start->isEnabled()) << "the second run has begun";
    ASSERT_TRUE(runUntilStatus(window, "Completed Update File"));
    EXPECT_EQ(start->text(), "Start");
    EXPECT_EQ(game.read("version.ini").substr(22), VersionTokenTable::tokenForVersion(1));
}

// A run that fails on a damaged install offers a repair with what it downloads, and the repair
// brings the file back before the patch goes on; a window in a folder without the game offers
// to install it from the same server. Both against a signed server started from a base.
TEST_F(LauncherWindowTest, AFailedRunOffersRepairAndAFolderWithoutTheGameOffersInstall) {
    test::ChildProcess::Options options;
    options.outputFolder = side.path();
    auto tool = [&](const std::vector<std::string>& argv) {
        const test::ProcessOutput output = test::ChildProcess::run(argv, options);
        EXPECT_EQ(output.exitCode, 0) << output.out << output.err;
        return output.lastLine();
    };
    const std::string key = side.file("release.key");
    ::setenv("NIMBREL_PATCH_PUBLIC_KEY", tool({NIMBREL_PUBLISH_PATH, "keygen", key}).c_str(), 1);
    std::string data(300 * 1024, '\0');
    QRandomGenerator(3).fillRange(reinterpret_cast<quint32*>(data.data()), data.size() / 4);
    const std::string published = side.makeFolder("published");
    for (int version : {1, 2}) {
        const std::string name = "v" + std::to_string(version) + "/";
        const std::string build = side.makeFolder(name);
        side.write(name + "notice.txt", "version " + std::to_string(version) + "\n");
        side.write(name + "data/blob.bin", data);
        if (version == 1)
            tool({NIMBREL_PUBLISH_PATH, "base", build, published, "--version", "1", "--sign", key, "--channel",
                  "plus_real"});
        else
            tool({NIMBREL_PUBLISH_PATH, "make", side.file("v1/"), build, published, "--version", "2", "--sign", key,
                  "--channel", "plus_real"});
    }
    for (const auto& entry : std::filesystem::directory_iterator(published))
        server.setFile(kPatchFolder + entry.path().filename().string(), test::readFile(entry.path().string()));

    // Version 1 with its blob gone, and the server without the archive of version 2: the patch fails.
    installVersion(game, 1);
    game.write("notice.txt", "version 1\n");
    const std::string archive = std::string(kPatchFolder) + "root_2.zip";
    const std::string archiveBytes = test::readFile(published + "root_2.zip");
    server.remove(archive);
    {
        LauncherWindow window("", game.path());
        window.start();
        showActive(window);
        ASSERT_TRUE(runUntilStatus(window, "An error has occurred while attempting to download file"));
        auto* start = window.findChild<QAbstractButton*>("start");
        ASSERT_TRUE(QTest::qWaitFor([&] { return start->text().startsWith("Repair ("); }, 60000));
        const std::string item = window.findChild<TransparentLabel*>("itemLabel")->text();
        EXPECT_EQ(item.rfind("Repair downloads ", 0), 0u) << item;
        showActive(window);
        saveScreenshot("launcher-repair-offer.png", window.frameGeometry());

        server.setFile(archive, archiveBytes);
        start->click();
        ASSERT_TRUE(runUntilStatus(window, "Completed Update File"));
    }
    EXPECT_EQ(game.read("data/blob.bin"), data);
    EXPECT_EQ(game.read("notice.txt"), "version 2\n");
    EXPECT_EQ(game.read("version.ini").substr(22), VersionTokenTable::tokenForVersion(2));

    // An empty folder: the window shows the launcher's own skin and offers the install.
    test::TempGameFolder fresh;
    {
        LauncherWindow window("", fresh.path());
        window.start();
        showActive(window);
        auto* start = window.findChild<QAbstractButton*>("start");
        ASSERT_TRUE(QTest::qWaitFor([&] { return start->text().startsWith("Install ("); }, 60000));
        EXPECT_EQ(window.findChild<TransparentLabel*>("itemLabel")->text().rfind("Install downloads ", 0), 0u);
        saveScreenshot("launcher-install-offer.png", window.frameGeometry());
        start->click();
        ASSERT_TRUE(runUntilStatus(window, "It is the latest version"));
    }
    EXPECT_EQ(fresh.read("data/blob.bin"), data);
    EXPECT_EQ(fresh.read("notice.txt"), "version 2\n");
    EXPECT_EQ(fresh.read("version.ini").substr(22), VersionTokenTable::tokenForVersion(2));
    ::unsetenv("NIMBREL_PATCH_PUBLIC_KEY");
}

// The bar against the bytes a slow server has delivered: each report the window takes is checked
// against what the download holds on disk at that moment (never ahead of it), and the bar takes
// the download in small steps rather than jumping (it moves while bytes arrive). Midway the
// window is photographed with its sizes and time left.
TEST_F(LauncherWindowTest, BarFollowsTheBytesOfASlowDownload) {
    std::string noise(1600 * 1024, '\0');
    QRandomGenerator(7).fillRange(reinterpret_cast<quint32*>(noise.data()), noise.size() / 4);
    const std::string archive = zipped(side, {{"noise.bin", noise}});
    test::TestHttpServer::Reply slow;
    slow.content = archive;
    slow.delivery = test::TestHttpServer::Delivery::Slow;
    slow.slowChunk = 16 * 1024;
    slow.slowInterval = 40ms;
    server.setReply(std::string(kPatchFolder) + "root_1.zip", slow);
    const std::string cache = side.file("cache/nimbrel");
    auto received = [&] {
        std::uintmax_t largest = 0;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(cache, error))
            if (entry.is_regular_file(error)) largest = std::max(largest, entry.file_size(error));
        return largest;
    };

    LauncherWindow window("", game.path());
    struct Report {
        int percent;
        std::uintmax_t received;
    };
    std::vector<Report> reports;
    struct Watch : QObject {
        std::function<void(int)> seen;
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == PatchMessageEvent::eventType() &&
                static_cast<PatchMessageEvent*>(e)->message == WM_PATCH_PROGRESS)
                seen(static_cast<PatchMessageEvent*>(e)->value);
            return false;
        }
    } watch;
    watch.seen = [&](int percent) { reports.push_back({percent, received()}); };
    window.installEventFilter(&watch);
    window.start();
    showActive(window);
    auto* status = window.findChild<TransparentLabel*>("statusLabel");
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return !reports.empty() && reports.back().percent >= 40 &&
                   status->text().find(" left") != std::string::npos;
        },
        60000))
        << status->text();
    saveScreenshot("launcher-downloading.png", window.frameGeometry());
    ASSERT_TRUE(runUntilStatus(window, "Completed Update File"));

    // The archive's reports: from the 0 before its first step (the small list's 0 and 100 came
    // before, the update step's after) to its 100.
    const auto firstStep =
        std::find_if(reports.begin(), reports.end(), [](const Report& r) { return r.percent > 0 && r.percent < 100; });
    ASSERT_NE(firstStep, reports.end());
    const auto begin = std::find_if(std::make_reverse_iterator(firstStep), reports.rend(),
                                    [](const Report& r) { return r.percent == 0; });
    ASSERT_NE(begin, reports.rend());
    const auto end = std::find_if(begin.base() - 1, reports.end(), [](const Report& r) { return r.percent == 100; });
    ASSERT_NE(end, reports.end());
    int previous = 0;
    for (const Report& r : std::vector<Report>(begin.base() - 1, end + 1)) {
        EXPECT_LE(r.percent, static_cast<int>(r.received * 100 / archive.size())) << r.received;
        // A step of a tenth is a second of this server's bytes held up at once.
        EXPECT_LE(r.percent - previous, 10);
        EXPECT_GE(r.percent, previous);
        previous = r.percent;
    }
    EXPECT_EQ(game.read("noise.bin"), noise);
}

// The settings' max_rate reaches the downloads: the rate the status line shows stays near it
// (the server would give far more; how closely it holds is the downloader's test). A value that
// is no rate is named in a box before the run, which then goes unlimited.
TEST_F(LauncherWindowTest, MaxRateFromTheSettingsHoldsTheDownloads) {
    ::setenv("XDG_CONFIG_HOME", side.file("config").c_str(), 1);
    std::string noise(512 * 1024, '\0');
    QRandomGenerator(9).fillRange(reinterpret_cast<quint32*>(noise.data()), noise.size() / 4);
    server.setFile(std::string(kPatchFolder) + "root_1.zip", zipped(side, {{"noise.bin", noise}}));

    side.write("config/nimbrel/settings.ini", "max_rate=fast\n");
    {
        test::TempGameFolder folder;
        std::filesystem::copy(game.path(), folder.path(), std::filesystem::copy_options::recursive);
        LauncherWindow window("", folder.path());
        std::string said;
        QTimer answerBoxes;
        QObject::connect(&answerBoxes, &QTimer::timeout, [&] {
            if (QMessageBox* box = visibleBox()) {
                said = box->text().toStdString();
                box->accept();
            }
        });
        answerBoxes.start(20);
        window.start();
        EXPECT_EQ(said, "max_rate=fast in " + side.file("config/nimbrel/settings.ini") +
                            " is not a rate in bytes a second (such as 2M, 500K or 100000); downloads are not limited");
        window.show();
        ASSERT_TRUE(runUntilStatus(window, "Completed Update File"));
    }

    side.write("config/nimbrel/settings.ini", "max_rate=128K\n");
    LauncherWindow window("", game.path());
    window.start();
    window.show();
    auto* status = window.findChild<TransparentLabel*>("statusLabel");
    std::string shown;
    ASSERT_TRUE(QTest::qWaitFor([&] { return (shown = status->text()).find(" KB/s") != std::string::npos; }, 60000))
        << shown;
    const std::size_t rateEnd = shown.find(" KB/s");
    const int rate = std::atoi(shown.substr(shown.rfind(' ', rateEnd - 1) + 1).c_str());
    EXPECT_GT(rate, 0) << shown;
    // The first second's figure holds the bucket's small burst; unlimited, it would be megabytes.
    EXPECT_LE(rate, 192) << shown;
    ASSERT_TRUE(runUntilStatus(window, "Completed Update File"));
    EXPECT_EQ(game.read("noise.bin"), noise);
    ::unsetenv("XDG_CONFIG_HOME");
}

// Enter is the player's way to play: it does nothing while Start is disabled, and once the run
// has enabled Start, which takes the focus, it starts the game and closes the window.
TEST_F(LauncherWindowTest, EnterStartsTheGameOnceStartIsEnabled) {
    LauncherWindow window("", game.path());
    QSignalSpy finished(&window, &QDialog::finished);
    window.start();
    auto* start = window.findChild<QAbstractButton*>("start");
    // No event has been handled yet, so the result is not shown: Start is still disabled, and
    // the focus the window will take is its own (on a button, Space would press it).
    ASSERT_FALSE(start->isEnabled());
    EXPECT_EQ(window.focusWidget(), &window);
    QTest::keyClick(&window, Qt::Key_Return);
    EXPECT_EQ(finished.count(), 0);
    showActive(window);

    ASSERT_TRUE(runUntilStatus(window, "Completed Update File"));
    ASSERT_EQ(window.focusWidget(), start);
    saveScreenshot("launcher-focused-start.png", window.frameGeometry());
    // The stand-in folder has no game client; the box that says so is answered.
    QTimer answerBoxes;
    QObject::connect(&answerBoxes, &QTimer::timeout, [] {
        if (QMessageBox* box = visibleBox()) box->accept();
    });
    answerBoxes.start(20);
    QTest::keyClick(window.focusWidget(), Qt::Key_Return);
    ASSERT_EQ(finished.count(), 1);
    EXPECT_EQ(finished.at(0).at(0).toInt(), QDialog::Accepted);
}

// Start with a client that runs under Wine: a player without Wine learns how to get it, a Wine
// that ends before the game is up leaves Start for another try, and while Wine starts up (its
// first start makes a prefix for seconds) the window says so and stays until Wine runs the game,
// which it shows by the program's Windows path. The stand-in Wine is the settings' wine command.
TEST_F(LauncherWindowTest, StartKeepsTheWindowUntilWineRunsTheGame) {
    const std::string client = game.file("QuorlanPlus.exe");
    game.write("QuorlanPlus.exe", "MZ, a Windows program");
    const std::string proceed = side.file("proceed");
    ASSERT_EQ(::mkfifo(proceed.c_str(), 0600), 0);
    const std::string log = side.file("wine.log");
    side.write("wine-fails", "#!/bin/sh\nexit 1\n");
    // Logs its arguments, waits as Wine waits for a new prefix, then shows the client as Wine does.
    side.write("wine", "#!/bin/bash\nprintf '%s\\n' \"$@\" > " + log + "\nread -r go < " + proceed +
                           R"(
exec -a "Z:${1//\//\\}" sleep 600
)");
    for (const char* script : {"wine-fails", "wine"}) ::chmod(side.file(script).c_str(), 0755);

    LauncherWindow window("", game.path());
    QSignalSpy finished(&window, &QDialog::finished);
    window.start();
    showActive(window);
    ASSERT_TRUE(runUntilStatus(window, "Completed Update File"));
    auto* start = window.findChild<QAbstractButton*>("start");
    auto* status = window.findChild<TransparentLabel*>("statusLabel");
    QTimer answerBoxes;
    QObject::connect(&answerBoxes, &QTimer::timeout, [&] {
        QMessageBox* box = visibleBox();
        if (!box || !box->windowHandle() || !box->windowHandle()->isExposed()) return;
        saveScreenshot("launcher-wine-missing.png", window.frameGeometry().united(box->frameGeometry()));
        box->accept();
    });
    answerBoxes.start(20);

    const std::string wineNeeded =
        "Wine is needed to run the game and was not found. Install it (on Debian: sudo apt install wine) "
        "or name its command as wine= in the launcher's settings.ini.";
    const struct {
        const char* name;
        std::string wine;
        std::string status;
    } steps[] = {
        {"no Wine", side.file("no-wine"), wineNeeded},
        {"Wine ends before the game is up", side.file("wine-fails"),
         "The game ended while it was starting. Press Start to try again."},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        ProcessLauncher::useWine(step.wine, "");
        start->click();
        EXPECT_TRUE(QTest::qWaitFor([&] { return status->text() == step.status; }, 60000)) << status->text();
        EXPECT_TRUE(start->isEnabled());
        EXPECT_EQ(start->text(), "Start");
        EXPECT_EQ(finished.count(), 0);
    }

    ProcessLauncher::useWine(side.file("wine"), "");
    start->click();
    EXPECT_EQ(status->text(), "Starting the game\u2026");
    EXPECT_FALSE(start->isEnabled());
    saveScreenshot("launcher-starting-game.png", window.frameGeometry());
    std::ofstream(proceed) << "go\n";
    EXPECT_TRUE(QTest::qWaitFor([&] { return finished.count() == 1; }, 60000));
    EXPECT_EQ(finished.value(0).value(0).toInt(), QDialog::Accepted);
    ProcessLauncher::useWine("", "");
    const auto wineProcess = GameProcessProbe::findClient(client);
    ASSERT_TRUE(wineProcess.has_value());
    ::kill(*wineProcess, SIGTERM);
    std::string launched = side.read("wine.log");
    EXPECT_TRUE(std::filesystem::equivalent(launched.substr(0, launched.find('\n')), client)) << launched;
    EXPECT_EQ(launched.substr(launched.find('\n') + 1), "=+_)(*&^90plokmn78ijuhbg;=+_)(*&^\n");
}

// Where every control sits decides whether the skin lines up: the buttons and the bar at
// their pixel placements, the labels on their layout grid scaled so that 338 x 241 units are
// the 600 x 421 window, the page's frame clipped two pixels on every side.
TEST_F(LauncherWindowTest, ControlsSitAtTheirPlacementsAndTheBackgroundDragsTheWindow) {
    LauncherWindow window("", game.path());
    window.start();
    window.show();
    ASSERT_TRUE(runUntilStatus(window, "Completed Update File"));
    const std::pair<const char*, QRect> expected[] = {
        {"start", QRect(466, 351, 116, 51)},
        {"config", QRect(395, 351, 54, 51)},
        {"join", QRect(508, 5, 39, 11)},
        {"homePage", QRect(457, 5, 39, 11)},
        {"close", QRect(561, 5, 24, 11)},
        {"progress", QRect(81, 385, 301, 16)},
        {"browser", QRect(-1, 21, 602, 329)},
        {"statusLabel", QRect(178, 355, 197, 14)},   // 100, 203, 111 x 8 units
        {"itemLabel", QRect(170, 369, 173, 14)},     // 96, 211, 97 x 8
        {"counterLabel", QRect(348, 369, 35, 14)},   // 196, 211, 20 x 8
        {"versionCaption", QRect(99, 355, 43, 14)},  // "Version": 56, 203, 24 x 8
        {"versionLabel", QRect(147, 355, 23, 14)},   // version number: 83, 203, 13 x 8
        {"counterCaption", QRect(98, 369, 71, 14)},  // "[Now/Total]": 55, 211, 40 x 8
    };
    for (const auto& [name, rect] : expected) {
        auto* control = window.findChild<QWidget*>(name);
        ASSERT_NE(control, nullptr) << name;
        EXPECT_EQ(control->geometry(), rect) << name;
    }
    EXPECT_EQ(window.findChild<QWidget*>("browser")->mask().boundingRect(), QRect(2, 2, 598, 325));
    EXPECT_EQ(window.findChild<TransparentLabel*>("versionCaption")->text(), "Version");
    EXPECT_EQ(window.findChild<TransparentLabel*>("counterCaption")->text(), "[Now/Total]");
    EXPECT_EQ(window.windowTitle(), "Quorlan Launcher");
    EXPECT_TRUE(window.windowFlags().testFlag(Qt::FramelessWindowHint));

    // The title strip is background; the labels are background too.
    ASSERT_EQ(window.frameGeometry(), QRect(0, 0, 600, 421));
    drag(window, QPoint(300, 10), QPoint(40, 30));
    EXPECT_TRUE(QTest::qWaitFor([&] { return window.frameGeometry() == QRect(40, 30, 600, 421); }, 30000));
    drag(window, QPoint(230, 370), QPoint(-40, -30));
    EXPECT_TRUE(QTest::qWaitFor([&] { return window.frameGeometry() == QRect(0, 0, 600, 421); }, 30000));
}

}  // namespace
}  // namespace nimbrel

#endif
