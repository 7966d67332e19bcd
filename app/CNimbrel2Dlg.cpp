#include "app/CNimbrel2Dlg.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QRegion>
#include <QScreen>
#include <QWindow>
#include <cstdio>
#include <cstdlib>

#include "app/MessageBoxBridge.h"
#include "app/PatchMessageEvent.h"
#include "engine/GameLayout.h"
#include "engine/PatchResult.h"
#include "platform/ExecutablePath.h"
#include "platform/ProcessLauncher.h"
#include "platform/WindowMessages.h"

namespace nimbrel {

namespace {

constexpr const char* kCaption = "Nimbrel";

// The dialog template is 338 x 241 dialog units and the window 600 x 421 pixels: these are
// the base units that map one onto the other, applied to each edge as the platform did.
int unitsToX(int units) { return (units * CNimbrel2Dlg::kWidth + 169) / 338; }
int unitsToY(int units) { return (units * CNimbrel2Dlg::kHeight + 120) / 241; }
QRect templateRect(int x, int y, int width, int height) {
    int left = unitsToX(x), top = unitsToY(y);
    return QRect(left, top, unitsToX(x + width) - left, unitsToY(y + height) - top);
}

// The launcher's icon for the taskbar and the window switcher. The original carried one as
// a resource; ours is drawn, so the program needs no file beside it.
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

CNimbrel2Dlg::CNimbrel2Dlg(const std::string& commandLine, const std::string& gameFolder, QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::FramelessWindowHint),
      gameFolder_(gameFolder.empty() ? ExecutablePath::folder() : gameFolder),
      run_(*this, textTable_, StartupFlags::forGameFolder(gameFolder_, commandLine)) {
    // The controls of the template, in the order they were bound: browser, buttons, labels.
    browser_ = new CExplorer1(this);
    config_ = new CImageButton(this);
    start_ = new CImageButton(this);
    join_ = new CImageButton(this);
    homePage_ = new CImageButton(this);
    close_ = new CImageButton(this);
    itemLabel_ = new CTransparentStatic(this);
    counterLabel_ = new CTransparentStatic(this);
    captionLabel_ = new CTransparentStatic(this);
    versionLabel_ = new CTransparentStatic(this);
    statusLabel_ = new CTransparentStatic(this);
    countLabel_ = new CTransparentStatic(this);
    boxes_ = new MessageBoxBridge(this);

    const std::pair<QWidget*, const char*> names[] = {
        {browser_, "browser"},
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
    connect(start_, &QAbstractButton::clicked, this, &CNimbrel2Dlg::OnOK);
    connect(config_, &QAbstractButton::clicked, this, &CNimbrel2Dlg::OnConfig);
    connect(join_, &QAbstractButton::clicked, this, &CNimbrel2Dlg::OnJoin);
    connect(homePage_, &QAbstractButton::clicked, this, &CNimbrel2Dlg::OnHomePage);
    connect(close_, &QAbstractButton::clicked, this, &QDialog::reject);
}

CNimbrel2Dlg::~CNimbrel2Dlg() { OnDestroy(); }

void CNimbrel2Dlg::showBox(const std::string& message) { boxes_->show(message, kCaption); }

void CNimbrel2Dlg::endProcess() {
    // The original ended with exit(0) and no clean-up; the lock goes with the process.
    std::fflush(nullptr);
    ::_exit(0);
}

bool CNimbrel2Dlg::OnInitDialog() {
    if (textTable_.load() < 0) showBox("String not found !");

    if (run_.acquireLock(gameFolder_) == SingleInstanceLock::Result::AlreadyExists) {
        showBox(SingleInstanceLock::kDoubleExecutionText);
        endProcess();
    }

    run_.openEngine(gameFolder_);

    setWindowIcon(applicationIcon());
    layoutSkin();

    run_.start();
    return true;
}

std::string CNimbrel2Dlg::inGameFolder(const std::string& name) const {
    // The text table names the skin pictures relative to the game folder; the process may
    // have been started anywhere.
    if (name.empty() || name.front() == '/') return name;
    return run_.baseFolder() + name;
}

void CNimbrel2Dlg::layoutSkin() {
    setWindowTitle("Quorlan Launcher");
    QScreen* screen = QGuiApplication::primaryScreen();
    move(screen ? screen->geometry().topLeft() : QPoint(0, 0));
    setFixedSize(kWidth, kHeight);

    if (!background_.load(QString::fromStdString(inGameFolder(text(TextLine::kBackground))))) {
        showBox("Skin Not Found !");
        endProcess();
    }

    browser_->Navigate(text(TextLine::kUpdatePage));

    const std::string buttonSkin = inGameFolder(text(TextLine::kButtonSkin));
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
        CImageButton* target = button(p.controlId);
        target->setGeometry(p.rect);
        target->SetSkin(buttonSkin, p.stripX, 1);
        if (p.controlId == IDC_START) target->setEnabled(false);
    }

    struct LabelSetup {
        CTransparentStatic* label;
        QRect rect;
        std::string text;
    } labels[] = {
        {itemLabel_, templateRect(96, 211, 97, 8), ""},
        {counterLabel_, templateRect(196, 211, 20, 8), ""},
        {captionLabel_, templateRect(56, 203, 24, 8), "Version"},
        {versionLabel_, templateRect(83, 203, 13, 8), "0"},
        {statusLabel_, templateRect(100, 203, 111, 8), text(TextLine::kUpdating)},
        {countLabel_, templateRect(55, 211, 40, 8), text(TextLine::kCounterCaption)},
    };
    for (auto& l : labels) {
        l.label->setGeometry(l.rect);
        l.label->AttachBackground(this, background_);
        l.label->SetText(l.text);
    }

    delete progress_;
    progress_ = new CProgress_Blue(this);
    progress_->setObjectName("progress");
    progress_->setGeometry(81, 385, 382 - 81, 401 - 385);
    progress_->show();
    progress_->SetRange(0, 100);

    // The browser's own frame is hidden by clipping two pixels off every side.
    browser_->setGeometry(-1, 21, 602, 329);
    browser_->setMask(QRegion(2, 2, browser_->width() - 4, browser_->height() - 4));
}

void CNimbrel2Dlg::OnDestroy() {
    if (destroyed_) return;
    destroyed_ = true;
    run_.requestStop();
    // A step waiting for a box would never see the stop flag: answer it so the worker ends.
    boxes_->cancelAll();
    run_.finish();
    delete progress_;
    progress_ = nullptr;
}

void CNimbrel2Dlg::postMessage(unsigned message, std::intptr_t wParam, std::intptr_t lParam) {
    QCoreApplication::postEvent(this, new PatchMessageEvent(message, wParam, lParam));
}

void CNimbrel2Dlg::setLabelText(int controlId, const std::string& labelText) {
    if (CTransparentStatic* target = label(controlId)) target->SetText(labelText);
}

void CNimbrel2Dlg::messageBox(const std::string& boxText, const std::string& caption) {
    boxes_->show(boxText, caption);
}

CImageButton* CNimbrel2Dlg::button(int controlId) const {
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

CTransparentStatic* CNimbrel2Dlg::label(int controlId) const {
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

bool CNimbrel2Dlg::event(QEvent* e) {
    if (e->type() == PatchMessageEvent::eventType()) {
        auto* message = static_cast<PatchMessageEvent*>(e);
        // A result that arrives after the teardown began has nothing left to act on.
        if (destroyed_) return true;
        if (message->message == WM_PATCH_PROGRESS)
            OnPatchProgress(message->wParam);
        else if (message->message == WM_PATCH_RESULT)
            OnPatchResult(message->wParam, message->lParam);
        return true;
    }
    return QDialog::event(e);
}

void CNimbrel2Dlg::OnPatchProgress(std::intptr_t percentage) {
    if (!progress_) return;
    progress_->SetPos(static_cast<unsigned>(percentage));
}

void CNimbrel2Dlg::OnPatchResult(std::intptr_t result, std::intptr_t stage) {
    using namespace PatchResult;
    // Every outcome names itself: a failure that kept the last stage text with Start disabled
    // looked like a launcher that hangs.
    const std::string outcome = run_.resultText(static_cast<int>(result), static_cast<int>(stage));
    statusLabel_->SetText(outcome);
    if (result >= kOk) {
        // A successful run reports the version it wrote; the label still held the one read
        // before the patch, or the last one the patch list named.
        versionLabel_->SetText(std::to_string(result));
        if (run_.selfUpdateRequired()) {
            run_.handOverLock();
            startProgram("selfupdate.exe", text(TextLine::kLaunchToken), true);
            QMetaObject::invokeMethod(
                this, [this] { done(QDialog::Rejected); }, Qt::QueuedConnection);
        }
        OnPatchProgress(100);
        start_->setEnabled(true);
    } else if (result == kNothingToFetch || result == kAlreadyCurrent) {
        start_->setEnabled(true);
    } else if (result == kManualPatchAhead) {
        showBox(outcome);
        QMetaObject::invokeMethod(
            this, [this] { done(QDialog::Rejected); }, Qt::QueuedConnection);
    }
}

void CNimbrel2Dlg::startProgram(const std::string& file, const std::string& parameters, bool hidden) {
    int code = ProcessLauncher::execute(file, parameters, run_.baseFolder(),
                                        hidden ? ProcessLauncher::Show::Hidden : ProcessLauncher::Show::Normal);
    if (!ProcessLauncher::succeeded(code))
        showBox(text(code == ProcessLauncher::kFileNotFound ? TextLine::kNotFound : TextLine::kStartFailed));
}

void CNimbrel2Dlg::openPage(const std::string& url) {
    int code = ProcessLauncher::openUrl(url);
    if (!ProcessLauncher::succeeded(code))
        showBox(text(code == ProcessLauncher::kFileNotFound ? TextLine::kNotFound : TextLine::kStartFailed));
}

void CNimbrel2Dlg::OnOK() {
    // The game client takes the name itself; it must be free before it starts.
    run_.handOverLock();
    startProgram(GameLayout::kGameClientName, text(TextLine::kLaunchToken), false);
    done(QDialog::Accepted);
}

void CNimbrel2Dlg::OnConfig() { startProgram("zedU3ZEzadiz.exe", std::string(), false); }
void CNimbrel2Dlg::OnJoin() { openPage(text(TextLine::kRegister)); }
void CNimbrel2Dlg::OnHomePage() { openPage(text(TextLine::kHomePage)); }

void CNimbrel2Dlg::paintEvent(QPaintEvent*) {
    if (background_.isNull()) return;
    QPainter painter(this);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.drawImage(0, 0, background_);
}

void CNimbrel2Dlg::mousePressEvent(QMouseEvent* e) {
    // Any press that reaches the window itself is on the background (labels and the bar let
    // it through): the whole window is its caption.
    if (e->button() != Qt::LeftButton) return QDialog::mousePressEvent(e);
    if (windowHandle() && windowHandle()->startSystemMove()) return;
    // Without a window manager that moves windows for us, follow the mouse ourselves.
    dragging_ = true;
    dragOffset_ = e->globalPosition().toPoint() - frameGeometry().topLeft();
}

void CNimbrel2Dlg::mouseMoveEvent(QMouseEvent* e) {
    if (dragging_ && (e->buttons() & Qt::LeftButton))
        move(e->globalPosition().toPoint() - dragOffset_);
    else
        QDialog::mouseMoveEvent(e);
}

void CNimbrel2Dlg::mouseReleaseEvent(QMouseEvent* e) {
    if (dragging_ && e->button() == Qt::LeftButton)
        dragging_ = false;
    else
        QDialog::mouseReleaseEvent(e);
}

}  // namespace nimbrel
