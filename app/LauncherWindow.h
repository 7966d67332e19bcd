#pragma once
// The launcher's only window: frameless, skinned, draggable by its background, showing the
// embedded page, the patch progress and five picture buttons. It owns the text table and the
// patch run (start-up flags, single-instance lock, engine and worker), and it is the engine's
// window: the worker reaches it only through the PatchWindow calls below. Its controls carry
// object names (see the constructor), so tools and tests can find them as Qt widgets.
// Start is the default button and takes the focus once it is enabled; after a failed run it
// reads Retry and runs the patch again in the same window. While the patch files download, the
// status line shows their bytes, rate and time left, held to the settings' max_rate. Start keeps the window, saying
// "Starting the game…", until a game client run by Wine is up (Wine's first start in a new
// prefix takes seconds with nothing else on screen); a missing Wine is explained there.

#include <QDeadlineTimer>
#include <QDialog>
#include <QImage>
#include <QPoint>
#include <QTimer>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "app/NewsView.h"
#include "controls/PictureButton.h"
#include "controls/SkinnedProgressBar.h"
#include "controls/TransparentLabel.h"
#include "engine/PatchRun.h"
#include "engine/TextTable.h"
#include "platform/PatchWindow.h"

namespace nimbrel {

class MessageBoxBridge;

class LauncherWindow : public QDialog, public PatchWindow {
    Q_OBJECT
public:
    static constexpr int kWidth = 600;
    static constexpr int kHeight = 421;

    // Probes for ManualPatch.ini in the game folder and scans the command line. The game
    // folder is the executable's unless one is given (absolute, ending in "/").
    explicit LauncherWindow(const std::string& commandLine, const std::string& gameFolder = std::string(),
                            QWidget* parent = nullptr);
    ~LauncherWindow() override;

    // Text table, single instance, engine, skin and layout, engine texts, update folder and
    // the worker's start, in that order; then the window is ready for exec(). Ends the process
    // with code 0, after its message box, on a second instance or a missing skin: the player
    // has nothing to do in a launcher that cannot patch.
    void start();
    // The window's teardown: stop and join the worker, empty the update folder after an
    // online run, give the single-instance name up, delete the engine. Runs once; the
    // destructor runs it too.
    void shutDown();

    // PatchWindow, callable from the worker.
    void postProgress(int percent) override;
    void postResult(int result, int stage) override;
    void postTransfer(const TransferProgress& progress) override;
    void postRepairOffer(const RepairOffer& offer) override;
    void setLabelText(int controlId, const std::string& text) override;
    void messageBox(const std::string& text, const std::string& caption) override;

    // What the buttons do.
    void startGame();             // Start: hands the name over and starts the game client
    void retry();                 // Start after a failed run: a new run of the patch
    void repair();                // Start while a repair or an install is offered
    void startSetupTool();        // Config: the game's graphics set-up tool
    void openRegistrationPage();  // Join
    void openHomePage();          // HomePage

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void showProgress(int percent);
    void showResult(int result, int stage);
    void packingBegan(const std::string& item, const std::string& counter);
    void setStartEnabled(bool enabled);
    void offerRetry(bool offered);
    void showRepairOffer(const RepairOffer& offer);
    // A folder without the game: what an install would fetch is worked out, then offered.
    void beginInstall();
    void watchGameStart();
    void gameDidNotStart(const std::string& why);
    void beginRun();
    void readMaxRate();
    PictureButton* button(int controlId) const;
    TransparentLabel* label(int controlId) const;
    std::string text(int line) const { return textTable_.lineOrEmpty(line); }
    void showBox(const std::string& text);
    // Starts a program in the game folder; a failure is explained in a box. The shell's code.
    int startProgram(const std::string& file, const std::string& parameters, bool hidden);
    void openPage(const std::string& url);
    void layoutSkin();
    // A skin picture: the game folder's, else the launcher's own.
    std::string skinPicture(const std::string& name) const;
    std::string inGameFolder(const std::string& name) const;
    [[noreturn]] static void endProcess();

    // The run uses the table, so the table is declared first and goes last.
    TextTable textTable_;
    std::string commandLine_;
    std::string gameFolder_;
    std::unique_ptr<PatchRun> run_;
    MessageBoxBridge* boxes_ = nullptr;

    QImage background_;
    NewsView* newsView_ = nullptr;
    PictureButton* config_ = nullptr;
    PictureButton* start_ = nullptr;
    PictureButton* join_ = nullptr;
    PictureButton* homePage_ = nullptr;
    PictureButton* close_ = nullptr;
    SkinnedProgressBar* progress_ = nullptr;
    TransparentLabel* itemLabel_ = nullptr;
    TransparentLabel* counterLabel_ = nullptr;
    TransparentLabel* captionLabel_ = nullptr;
    TransparentLabel* versionLabel_ = nullptr;
    TransparentLabel* statusLabel_ = nullptr;
    TransparentLabel* countLabel_ = nullptr;

    // The bar and the item line as the patch left them when the packing passes took them over;
    // the end of the run shows them again. Window thread only.
    int shownPercent_ = 0;
    bool packingSeen_ = false;
    int percentBeforePacking_ = 0;
    std::string itemBeforePacking_;
    std::string counterBeforePacking_;
    // Written by the worker when it reports the first packed folder; cleared by each new run.
    std::atomic<bool> packingReported_{false};
    bool retryOffered_ = false;
    bool repairOffered_ = false;  // Start carries out offer_
    bool repairing_ = false;      // the worker runs a repair or an install
    RepairOffer offer_;
    // The settings' max_rate, for every run of this window; 0: no limit.
    std::uint64_t maxBytesPerSecond_ = 0;

    // Between Start and the game client being up: how often to look, and for how long at most.
    static constexpr int kGameWatchIntervalMs = 100;
    static constexpr int kGameStartCapMs = 10000;
    QTimer gameWatch_;
    QDeadlineTimer gameStartCap_;

    bool destroyed_ = false;
    bool dragging_ = false;
    QPoint dragOffset_;
};

}  // namespace nimbrel
