#include "app/LauncherWindow.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QRegion>
#include <QScreen>
#include <QWindow>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <utility>

#include "app/MessageBoxBridge.h"
#include "app/PatchMessageEvent.h"
#include "engine/GameLayout.h"
#include "engine/PatchResult.h"
#include "engine/TransferMeter.h"
#include "platform/ExecutablePath.h"
#include "platform/FileSystem.h"
#include "platform/GameProcessProbe.h"
#include "platform/ProcessLauncher.h"
#include "platform/Settings.h"
#include "platform/TokenBucket.h"
#include "platform/WindowMessages.h"

namespace nimbrel {

namespace {

constexpr const char* kCaption = "Nimbrel";
constexpr const char* kStartingGame = "Starting the game\u2026";
constexpr const char* kWineNeeded =
    "Wine is needed to run the game and was not found. Install it (on Debian: sudo apt install wine) "
    "or name its command as wine= in the launcher's settings.ini.";
constexpr const char* kGameEndedWhileStarting = "The game ended while it was starting. Press Start to try again.";

// The labels sit on a grid of 338 x 241 layout units over the 600 x 421 window, where the game's
// skin pictures leave room for them. Each edge is scaled and rounded on its own, so labels that
// meet on the grid meet on the screen.
int unitsToX(int units) { return (units * LauncherWindow::kWidth + 169) / 338; }
int unitsToY(int units) { return (units * LauncherWindow::kHeight + 120) / 241; }
QRect layoutRect(int x, int y, int width, int height) {
    int left = unitsToX(x), top = unitsToY(y);
    return QRect(left, top, unitsToX(x + width) - left, unitsToY(y + height) - top);
}

// The launcher's icon for the taskbar and the window switcher, drawn, so that the program
// needs no file beside it.
QIcon applicationIcon() {
    QIcon icon;
    for (int size : {16, 32, 48}) {
        QPixmap pixels(size, size);
        pixels.fill(Qt::transparent);
        QPainter painter(&pixels);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setBrush(QColor("#c9701c"));
        painter.setPen(QPen(QColor("#4a2300"), size / 16.0));
        painter.drawEllipse(QRectF(0.5, 0.5, size - 1.0, size - 1.0));
        QFont font;
        font.setPixelSize(size * 2 / 3);
        font.setBold(true);
        painter.setFont(font);
        painter.setPen(QColor("#fff6e0"));
        painter.drawText(QRect(0, 0, size, size), Qt::AlignCenter, "Q");
        painter.end();
        icon.addPixmap(pixels);
    }
    return icon;
}

}  // namespace

LauncherWindow::LauncherWindow(const std::string& commandLine, const std::string& gameFolder, QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::FramelessWindowHint),
      commandLine_(commandLine),
      gameFolder_(gameFolder.empty() ? ExecutablePath::folder() : gameFolder),
      run_(std::make_unique<PatchRun>(*this, textTable_, StartupFlags::forGameFolder(gameFolder_, commandLine))) {
    // The page first, then the buttons and labels: a later sibling is drawn above an earlier one.
    newsView_ = new NewsView(this);
    config_ = new PictureButton(this);
    start_ = new PictureButton(this);
    join_ = new PictureButton(this);
    homePage_ = new PictureButton(this);
    close_ = new PictureButton(this);
    itemLabel_ = new TransparentLabel(this);
    counterLabel_ = new TransparentLabel(this);
    captionLabel_ = new TransparentLabel(this);
    versionLabel_ = new TransparentLabel(this);
    statusLabel_ = new TransparentLabel(this);
    countLabel_ = new TransparentLabel(this);
    boxes_ = new MessageBoxBridge(this);

    const std::pair<QWidget*, const char*> names[] = {
        {newsView_, "browser"},
        {config_, "config"},
        {start_, "start"},
        {join_, "join"},
        {homePage_, "homePage"},
        {close_, "close"},
        {itemLabel_, "itemLabel"},
        {counterLabel_, "counterLabel"},
        {captionLabel_, "versionCaption"},
        {versionLabel_, "versionLabel"},
        {statusLabel_, "statusLabel"},
        {countLabel_, "counterCaption"},
    };
    for (const auto& [widget, name] : names) widget->setObjectName(name);

    start_->setText("Start");
    config_->setText("Config");
    join_->setText("Join");
    homePage_->setText("HomePage");
    close_->setText("X");
    connect(start_, &QAbstractButton::clicked, this, [this] {
        repairOffered_ ? repair() : retryOffered_ ? retry() : startGame();
    });
    connect(config_, &QAbstractButton::clicked, this, &LauncherWindow::startSetupTool);
    connect(join_, &QAbstractButton::clicked, this, &LauncherWindow::openRegistrationPage);
    connect(homePage_, &QAbstractButton::clicked, this, &LauncherWindow::openHomePage);
    connect(close_, &QAbstractButton::clicked, this, &QDialog::reject);
    gameWatch_.setInterval(kGameWatchIntervalMs);
    connect(&gameWatch_, &QTimer::timeout, this, &LauncherWindow::watchGameStart);
    // Closed while the game starts (X, Escape): the game goes on, the window is done watching.
    connect(this, &QDialog::finished, &gameWatch_, &QTimer::stop);
}

LauncherWindow::~LauncherWindow() { shutDown(); }

void LauncherWindow::showBox(const std::string& message) { boxes_->show(message, kCaption); }

void LauncherWindow::endProcess() {
    // Nothing has started yet that needs an orderly end, and the lock goes with the process.
    std::fflush(nullptr);
    ::_exit(0);
}

void LauncherWindow::start() {
    if (textTable_.load() < 0) showBox("String not found !");

    if (run_->acquireLock(gameFolder_) == SingleInstanceLock::Result::AlreadyExists) {
        showBox(SingleInstanceLock::kDoubleExecutionText);
        endProcess();
    }

    run_->openEngine(gameFolder_);
    readMaxRate();

    setWindowIcon(applicationIcon());
    layoutSkin();
    // Until Start is enabled the window itself holds the focus: on a button, Space would start
    // the set-up tool or open a page while the player waits for Start.
    setFocus(Qt::OtherFocusReason);

    run_->holdsGame() || !run_->online() ? beginRun() : beginInstall();
}

void LauncherWindow::beginInstall() {
    statusLabel_->setText("The game is not installed in " + run_->baseFolder() +
                          ". Asking the patch server what an install takes…");
    run_->limitRate(maxBytesPerSecond_);
    run_->planRepair(true);
}

void LauncherWindow::beginRun() {
    packingReported_ = false;
    packingSeen_ = false;
    shownPercent_ = 0;
    run_->limitRate(maxBytesPerSecond_);
    run_->start();
}

void LauncherWindow::readMaxRate() {
    const std::string path = Settings::defaultPath();
    std::string error;
    const std::optional<Settings> settings = Settings::load(path, error);
    if (!settings) return showBox(error + "; downloads are not limited");
    const std::string value = settings->value(Settings::kMaxRate);
    if (value.empty()) return;
    if (const std::optional<std::uint64_t> rate = TokenBucket::parseRate(value)) {
        maxBytesPerSecond_ = *rate;
        return;
    }
    showBox(std::string(Settings::kMaxRate) + "=" + value + " in " + path +
            " is not a rate in bytes a second (such as 2M, 500K or 100000); downloads are not limited");
}

void LauncherWindow::retry() {
    // The failed run has ended (its result came last); finishing it joins its worker and gives
    // the name up, and the new run takes the name again and re-reads the start-up flags, as a
    // launcher started afresh would.
    run_->finish();
    run_ = std::make_unique<PatchRun>(*this, textTable_, StartupFlags::forGameFolder(gameFolder_, commandLine_));
    if (run_->acquireLock(gameFolder_) == SingleInstanceLock::Result::AlreadyExists) {
        // The game or another launcher took the name meanwhile; Retry stays for when it is free.
        showBox(SingleInstanceLock::kDoubleExecutionText);
        return;
    }
    run_->openEngine(gameFolder_);
    offerRetry(false);
    setStartEnabled(false);
    statusLabel_->setText(text(TextLine::kUpdating));
    itemLabel_->setText("");
    counterLabel_->setText("");
    showProgress(0);
    run_->holdsGame() || !run_->online() ? beginRun() : beginInstall();
}

void LauncherWindow::postRepairOffer(const RepairOffer& offer) {
    QMetaObject::invokeMethod(
        this,
        [this, offer] {
            if (!destroyed_) showRepairOffer(offer);
        },
        Qt::QueuedConnection);
}

void LauncherWindow::showRepairOffer(const RepairOffer& offer) {
    if (offer.version < 0 && offer.install) {
        // Nothing to install from: the reason stays on the status line, and Retry asks again.
        statusLabel_->setText("The game cannot be installed from the patch server: " + offer.reason);
        offerRetry(true);
        setStartEnabled(true);
        return;
    }
    // A repair that cannot be worked out, or one with nothing to mend, leaves Retry as it is.
    if (offer.version < 0 || !offer.needed) return;
    offer_ = offer;
    repairOffered_ = true;
    const std::string size = TransferMeter::bytesText(offer.bytes);
    const std::string word = offer.install ? "Install" : "Repair";
    start_->setCaption(offer.install ? "INSTALL" : "REPAIR");
    start_->setText(QString::fromStdString(word + " (" + size + ")"));
    itemLabel_->setText(word + " downloads " + size);
    counterLabel_->setText("");
    if (offer.install) {
        // Nothing is installed yet: no version, and the bar waits for the install (fetching the
        // server's list to learn its latest version moved it).
        statusLabel_->setText("The game is not installed in " + run_->baseFolder());
        versionLabel_->setText("");
        showProgress(0);
    }
    setStartEnabled(true);
}

void LauncherWindow::repair() {
    repairOffered_ = false;
    repairing_ = true;
    offerRetry(false);
    setStartEnabled(false);
    statusLabel_->setText((offer_.install ? "Installing version " : "Repairing version ") +
                          std::to_string(offer_.version) + "…");
    itemLabel_->setText("");
    counterLabel_->setText("");
    showProgress(0);
    run_->startRepair(offer_.install);
}

std::string LauncherWindow::skinPicture(const std::string& name) const {
    // The game brings its skin; a folder the game is yet to be installed into has none, and the
    // launcher's own serves: beside the program in a build, in share/nimbrel/skin/ installed.
    const std::string inGame = inGameFolder(name);
    if (FileSystem::fileExists(inGame) || name.empty() || name.front() == '/') return inGame;
    for (const char* folder : {"skin/", "../share/nimbrel/skin/"}) {
        const std::string own = ExecutablePath::folder() + folder + name;
        if (FileSystem::fileExists(own)) return own;
    }
    return inGame;
}

std::string LauncherWindow::inGameFolder(const std::string& name) const {
    // The text table names the skin pictures relative to the game folder; the process may
    // have been started anywhere.
    if (name.empty() || name.front() == '/') return name;
    return run_->baseFolder() + name;
}

void LauncherWindow::layoutSkin() {
    setWindowTitle("Quorlan Launcher");
    QScreen* screen = QGuiApplication::primaryScreen();
    move(screen ? screen->geometry().topLeft() : QPoint(0, 0));
    setFixedSize(kWidth, kHeight);

    if (!background_.load(QString::fromStdString(skinPicture(text(TextLine::kBackground))))) {
        showBox("Skin Not Found !");
        endProcess();
    }

    newsView_->load(text(TextLine::kUpdatePage));

    const std::string buttonSkin = skinPicture(text(TextLine::kButtonSkin));
    struct Placement {
        int controlId;
        QRect rect;
        int stripX;
    } placements[] = {
        {IDC_START, QRect(466, 351, 116, 51), 56}, {IDC_CONFIG, QRect(395, 351, 54, 51), 1},
        {IDC_JOIN, QRect(508, 5, 39, 11), 213},    {IDC_HOMEPAGE, QRect(457, 5, 39, 11), 173},
        {IDC_CLOSE, QRect(561, 5, 24, 11), 254},
    };
    for (const auto& p : placements) {
        PictureButton* target = button(p.controlId);
        target->setGeometry(p.rect);
        target->setSkin(buttonSkin, p.stripX, 1);
        if (p.controlId == IDC_START) target->setEnabled(false);
    }

    struct LabelSetup {
        TransparentLabel* label;
        QRect rect;
        std::string text;
    } labels[] = {
        {itemLabel_, layoutRect(96, 211, 97, 8), ""},
        {counterLabel_, layoutRect(196, 211, 20, 8), ""},
        {captionLabel_, layoutRect(56, 203, 24, 8), "Version"},
        {versionLabel_, layoutRect(83, 203, 13, 8), "0"},
        {statusLabel_, layoutRect(100, 203, 111, 8), text(TextLine::kUpdating)},
        {countLabel_, layoutRect(55, 211, 40, 8), text(TextLine::kCounterCaption)},
    };
    for (auto& l : labels) {
        l.label->setGeometry(l.rect);
        l.label->attachBackground(this, background_);
        l.label->setText(l.text);
    }

    delete progress_;
    progress_ = new SkinnedProgressBar(this);
    progress_->setObjectName("progress");
    progress_->setGeometry(81, 385, 382 - 81, 401 - 385);
    progress_->show();
    progress_->setRange(0, 100);

    // The browser's own frame is hidden by clipping two pixels off every side.
    newsView_->setGeometry(-1, 21, 602, 329);
    newsView_->setMask(QRegion(2, 2, newsView_->width() - 4, newsView_->height() - 4));
}

void LauncherWindow::shutDown() {
    if (destroyed_) return;
    destroyed_ = true;
    run_->requestStop();
    // A step waiting for a box would never see the stop flag: answer it so the worker ends.
    boxes_->cancelAll();
    run_->finish();
    delete progress_;
    progress_ = nullptr;
}

void LauncherWindow::postProgress(int percent) {
    QCoreApplication::postEvent(this, PatchMessageEvent::progress(percent));
}

void LauncherWindow::postResult(int result, int stage) {
    QCoreApplication::postEvent(this, PatchMessageEvent::result(result, stage));
}

void LauncherWindow::postTransfer(const TransferProgress& progress) {
    QMetaObject::invokeMethod(
        this,
        [this, text = TransferMeter::describe(progress)] {
            if (!destroyed_) statusLabel_->setText(text);
        },
        Qt::QueuedConnection);
}

void LauncherWindow::setLabelText(int controlId, const std::string& labelText) {
    // The packing passes run after every outcome and name each folder they pack; what the patch
    // itself showed last is kept for the end of the run, before the first folder replaces it.
    if (controlId == IDC_STATUS_LABEL && labelText == text(TextLine::kCollecting) && !packingReported_.exchange(true)) {
        QMetaObject::invokeMethod(
            this, [this, item = itemLabel_->text(), counter = counterLabel_->text()] { packingBegan(item, counter); },
            Qt::QueuedConnection);
    }
    if (TransparentLabel* target = label(controlId)) target->setText(labelText);
}

void LauncherWindow::messageBox(const std::string& boxText, const std::string& caption) {
    // While the box waits for the player, the status line says the same, not the stage text.
    statusLabel_->setText(boxText);
    boxes_->show(boxText, caption);
}

void LauncherWindow::packingBegan(const std::string& item, const std::string& counter) {
    // Queued behind every progress report posted before it, so the bar is where the patch left it.
    packingSeen_ = true;
    percentBeforePacking_ = shownPercent_;
    itemBeforePacking_ = item;
    counterBeforePacking_ = counter;
}

PictureButton* LauncherWindow::button(int controlId) const {
    switch (controlId) {
        case IDC_START:
            return start_;
        case IDC_CLOSE:
            return close_;
        case IDC_CONFIG:
            return config_;
        case IDC_JOIN:
            return join_;
        case IDC_HOMEPAGE:
            return homePage_;
        default:
            return nullptr;
    }
}

TransparentLabel* LauncherWindow::label(int controlId) const {
    switch (controlId) {
        case IDC_ITEM_LABEL:
            return itemLabel_;
        case IDC_VERSION_LABEL:
            return versionLabel_;
        case IDC_COUNTER_LABEL:
            return counterLabel_;
        case IDC_STATUS_LABEL:
            return statusLabel_;
        case IDC_VERSION_CAPTION:
            return captionLabel_;
        case IDC_COUNTER_CAPTION:
            return countLabel_;
        default:
            return nullptr;
    }
}

bool LauncherWindow::event(QEvent* e) {
    if (e->type() == PatchMessageEvent::eventType()) {
        auto* message = static_cast<PatchMessageEvent*>(e);
        // A result that arrives after the teardown began has nothing left to act on.
        if (destroyed_) return true;
        if (message->message == WM_PATCH_PROGRESS)
            showProgress(message->value);
        else if (message->message == WM_PATCH_RESULT)
            showResult(message->value, message->stage);
        return true;
    }
    return QDialog::event(e);
}

void LauncherWindow::showProgress(int percent) {
    if (!progress_) return;
    shownPercent_ = percent;
    progress_->setValue(static_cast<unsigned>(percent));
}

void LauncherWindow::setStartEnabled(bool enabled) {
    // A focused button that is disabled hands the focus to the next one; the window keeps it.
    if (!enabled && start_->hasFocus()) setFocus(Qt::OtherFocusReason);
    start_->setEnabled(enabled);
    // Start takes the focus when it is enabled, unless the player moved it to another control.
    if (enabled && (focusWidget() == nullptr || focusWidget() == this)) start_->setFocus(Qt::OtherFocusReason);
}

void LauncherWindow::offerRetry(bool offered) {
    retryOffered_ = offered;
    // Start's own picture serves, with the word in place of its lettering.
    start_->setCaption(offered ? "RETRY" : QString());
    start_->setText(offered ? "Retry" : "Start");
}

void LauncherWindow::showResult(int result, int stage) {
    using namespace PatchResult;
    // Every outcome names itself: a failure that kept the last stage text with Start disabled
    // would look like a launcher that hangs.
    const std::string outcome = run_->resultText(result, stage);
    statusLabel_->setText(outcome);
    if (std::exchange(repairing_, false) && result >= kOk) {
        // The folder is its build again (or installed): the patch run takes it from there, as a
        // launcher started afresh would.
        statusLabel_->setText((offer_.install ? "Installed version " : "Repaired version ") +
                              std::to_string(result));
        QMetaObject::invokeMethod(this, &LauncherWindow::retry, Qt::QueuedConnection);
        return;
    }
    // The packing passes' last folder says nothing about the patch: the item line and the bar
    // show again what the patch itself reached.
    if (packingSeen_) {
        itemLabel_->setText(itemBeforePacking_);
        counterLabel_->setText(counterBeforePacking_);
        showProgress(percentBeforePacking_);
    }
    if (result >= kOk) {
        // A successful run reports the version it wrote; the label still held the one read
        // before the patch, or the last one the patch list named.
        versionLabel_->setText(std::to_string(result));
        if (run_->selfUpdateRequired()) {
            run_->handOverLock();
            startProgram("selfupdate.exe", text(TextLine::kLaunchToken), true);
            QMetaObject::invokeMethod(
                this, [this] { done(QDialog::Rejected); }, Qt::QueuedConnection);
        }
        showProgress(100);
        setStartEnabled(true);
    } else if (result == kNothingToFetch || result == kAlreadyCurrent) {
        // Nothing was patched: the item line says so rather than naming the last file checked.
        itemLabel_->setText(outcome);
        counterLabel_->setText("");
        setStartEnabled(true);
    } else if (result == kManualPatchAhead) {
        showBox(outcome);
        QMetaObject::invokeMethod(
            this, [this] { done(QDialog::Rejected); }, Qt::QueuedConnection);
    } else if (result != kStopped) {
        // The bar stays where the run stopped; the player may try again without restarting.
        offerRetry(true);
        setStartEnabled(true);
        // Damaged or missing files a repair can bring back: what it takes is worked out, then
        // offered in Retry's place. A run told not to connect never asks the server.
        if ((result == kPatchFileMissing || result == kExtractionFailed || result == kPackRebuildFailed) &&
            run_->online() && run_->holdsGame())
            run_->planRepair(false);
    }
}

int LauncherWindow::startProgram(const std::string& file, const std::string& parameters, bool hidden) {
    int code = ProcessLauncher::execute(file, parameters, run_->baseFolder(),
                                        hidden ? ProcessLauncher::Show::Hidden : ProcessLauncher::Show::Normal);
    if (code == ProcessLauncher::kWineNotFound) {
        // Unlike a broken program, this the player can mend: the status line keeps the remedy.
        statusLabel_->setText(kWineNeeded);
        showBox(kWineNeeded);
    } else if (!ProcessLauncher::succeeded(code)) {
        showBox(text(code == ProcessLauncher::kFileNotFound ? TextLine::kNotFound : TextLine::kStartFailed));
    }
    return code;
}

void LauncherWindow::openPage(const std::string& url) {
    int code = ProcessLauncher::openUrl(url);
    if (!ProcessLauncher::succeeded(code))
        showBox(text(code == ProcessLauncher::kFileNotFound ? TextLine::kNotFound : TextLine::kStartFailed));
}

void LauncherWindow::startGame() {
    // The game client takes the name itself; it must be free before it starts.
    run_->handOverLock();
    statusLabel_->setText(kStartingGame);
    const int code = startProgram(GameLayout::kGameClientName, text(TextLine::kLaunchToken), false);
    if (code == ProcessLauncher::kWineNotFound) {
        gameDidNotStart(kWineNeeded);
        return;
    }
    if (ProcessLauncher::succeeded(code) &&
        ProcessLauncher::isWindowsExecutable(inGameFolder(GameLayout::kGameClientName))) {
        setStartEnabled(false);
        gameStartCap_.setRemainingTime(kGameStartCapMs);
        gameWatch_.start();
        return;
    }
    done(QDialog::Accepted);
}

void LauncherWindow::watchGameStart() {
    const std::string client = inGameFolder(GameLayout::kGameClientName);
    if (!GameProcessProbe::findClient(client)) {
        gameWatch_.stop();
        gameDidNotStart(kGameEndedWhileStarting);
        return;
    }
    // Past the cap the window goes anyway: a Wine that shows its programs otherwise must not
    // keep it open for as long as the game runs.
    if (ProcessLauncher::windowsProgramRuns(client) || gameStartCap_.hasExpired()) {
        gameWatch_.stop();
        done(QDialog::Accepted);
    }
}

void LauncherWindow::gameDidNotStart(const std::string& why) {
    // The name is ours again: no second launcher may patch the folder under this open window.
    // Another holder (the game started elsewhere meanwhile) keeps it; the next Start finds out.
    static_cast<void>(run_->acquireLock());
    statusLabel_->setText(why);
    setStartEnabled(true);
}

void LauncherWindow::startSetupTool() { startProgram("zedU3ZEzadiz.exe", std::string(), false); }
void LauncherWindow::openRegistrationPage() { openPage(text(TextLine::kRegister)); }
void LauncherWindow::openHomePage() { openPage(text(TextLine::kHomePage)); }

void LauncherWindow::paintEvent(QPaintEvent*) {
    if (background_.isNull()) return;
    QPainter painter(this);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.drawImage(0, 0, background_);
}

void LauncherWindow::keyPressEvent(QKeyEvent* e) {
    // Enter presses the focused button, as Space does; elsewhere it presses Start, the default.
    // Escape closes the window (QDialog's reject); an interrupted download resumes next time.
    if (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) {
        auto* focused = qobject_cast<PictureButton*>(focusWidget());
        PictureButton* target = focused ? focused : start_;
        if (target->isEnabled()) target->click();
        return;
    }
    QDialog::keyPressEvent(e);
}

void LauncherWindow::mousePressEvent(QMouseEvent* e) {
    // Any press that reaches the window itself is on the background (labels and the bar let
    // it through): the whole window is its caption.
    if (e->button() != Qt::LeftButton) return QDialog::mousePressEvent(e);
    if (windowHandle() && windowHandle()->startSystemMove()) return;
    // Without a window manager that moves windows for us, follow the mouse ourselves.
    dragging_ = true;
    dragOffset_ = e->globalPosition().toPoint() - frameGeometry().topLeft();
}

void LauncherWindow::mouseMoveEvent(QMouseEvent* e) {
    if (dragging_ && (e->buttons() & Qt::LeftButton))
        move(e->globalPosition().toPoint() - dragOffset_);
    else
        QDialog::mouseMoveEvent(e);
}

void LauncherWindow::mouseReleaseEvent(QMouseEvent* e) {
    if (dragging_ && e->button() == Qt::LeftButton)
        dragging_ = false;
    else
        QDialog::mouseReleaseEvent(e);
}

}  // namespace nimbrel
