// The first-start dialog, driven in process: which folders it takes as the game folder, the
// reason it gives for the others, and what it leaves in the settings file.

#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QDialogButtonBox>
#include <QPushButton>
#include <QTest>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/GameFolderDialog.h"
#include "tests/support/TempGameFolder.h"

using nimbrel::GameFolderDialog;
using nimbrel::test::TempGameFolder;

namespace {

QApplication& application() {
    static int argc = 1;
    static char name[] = "GameFolderDialogWidgetTest";
    static char* argv[] = {name, nullptr};
    if (!std::getenv("DISPLAY") && !std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // Never destroyed: tearing the toolkit down during static destruction crashes the process.
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

class GameFolderDialogTest : public ::testing::Test {
protected:
    QApplication& app = application();
    TempGameFolder root;
    const std::string settingsPath = root.path() + "config/nimbrel/settings.ini";
};

TEST_F(GameFolderDialogTest, SavesAGameOrAnEmptyFolderAndRefusesTheRestWithTheReason) {
    root.write("client/QuorlanPlus.exe", "MZ");
    root.write("versioned/version.ini", "[DEFAULT]\r\n");
    root.makeFolder("empty");
    root.write("other/readme.txt", "not a game");
    root.write("file", "");
    root.write("locked/version.ini", "[DEFAULT]\r\n");
    std::filesystem::permissions(root.file("locked/version.ini"), std::filesystem::perms::none);
    const bool readsAll = ::geteuid() == 0;
    const std::string handWritten = "# by the release team\nwine=wine-stable\n";

    const struct {
        std::string typed;
        std::string saved;  // game_dir afterwards; empty: nothing written
        std::string reason;
        bool cancel = false;
    } cases[] = {
        {root.path() + "client", root.path() + "client", ""},
        {root.path() + "versioned/", root.path() + "versioned", ""},
        {root.path() + "empty", root.path() + "empty", ""},
        {root.path() + "empty", "", "", true},
        {root.path() + "other", "", "holds no game (neither QuorlanPlus.exe nor version.ini) and is not empty"},
        {root.path() + "missing", "", "There is no folder " + root.path() + "missing."},
        {root.path() + "file", "", "is not a folder"},
        {"games/q", "", "full path"},
        {root.path() + "locked", readsAll ? root.path() + "locked" : "", readsAll ? "" : "version.ini in"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed);
        root.write("config/nimbrel/settings.ini", handWritten);
        GameFolderDialog dialog(settingsPath, "", "");
        dialog.open();
        dialog.setFolder(QString::fromStdString(c.typed));
        const auto button = c.cancel ? QDialogButtonBox::Cancel : QDialogButtonBox::Ok;
        QTest::mouseClick(dialog.buttons()->button(button), Qt::LeftButton);
        EXPECT_EQ(dialog.isVisible(), !c.cancel && c.saved.empty());
        EXPECT_NE(dialog.reason().toStdString().find(c.reason), std::string::npos) << dialog.reason().toStdString();
        EXPECT_EQ(root.read("config/nimbrel/settings.ini"),
                  c.saved.empty() ? handWritten : handWritten + "game_dir=" + c.saved + "\n");
        EXPECT_EQ(dialog.chosenFolder(), c.saved.empty() ? "" : c.saved + "/");
    }

    // The dialog as a player sees it after offering a wrong folder.
    GameFolderDialog first(settingsPath, "", "");
    first.show();
    first.setFolder(QString::fromStdString(root.path() + "other"));
    first.accept();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&first));
    std::filesystem::create_directories(NIMBREL_ARTIFACT_DIR);
    EXPECT_TRUE(first.grab().save(QStringLiteral(NIMBREL_ARTIFACT_DIR "/first-start.png")));
}

}  // namespace
