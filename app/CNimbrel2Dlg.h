#pragma once
// The launcher's only window: frameless, skinned, draggable by its background, showing the
// embedded page, the patch progress and five picture buttons. It owns the text table, the
// start-up flags, the single-instance lock, the patch engine and its worker, and it is the
// engine's window: the worker reaches it only through the PatchWindow calls below.

#include <QDialog>
#include <QImage>
#include <QPoint>
#include <array>
#include <atomic>
#include <memory>
#include <string>

#include "app/CExplorer1.h"
#include "app/TextTable.h"
#include "controls/CImageButton.h"
#include "controls/CProgress_Blue.h"
#include "controls/CTransparentStatic.h"
#include "engine/CPatchThread.h"
#include "engine/PatchEngine.h"
#include "engine/PatchSequence.h"
#include "engine/StartupFlags.h"
#include "platform/PatchWindow.h"
#include "platform/SingleInstanceLock.h"

namespace nimbrel {

class MessageBoxBridge;

class CNimbrel2Dlg : public QDialog, public PatchWindow {
    Q_OBJECT
public:
    static constexpr int kWidth = 600;
    static constexpr int kHeight = 421;

    // Probes for ManualPatch.ini next to the executable and scans the command line.
    explicit CNimbrel2Dlg(const std::string& commandLine, QWidget* parent = nullptr);
    ~CNimbrel2Dlg() override;

    // Text table, single instance, engine, skin and layout, engine texts, update folder and
    // the worker's start, in that order. Ends the process with code 0 on a second instance
    // or a missing skin, as the original did.
    bool OnInitDialog();
    // The window's teardown: stop and join the worker, empty the update folder unless a
    // manual patch is in use, give the single-instance name up, delete the engine. Runs once.
    void OnDestroy();

    // PatchWindow, callable from the worker.
    void postMessage(unsigned message, std::intptr_t wParam, std::intptr_t lParam) override;
    void setLabelText(int controlId, const std::string& text) override;
    void messageBox(const std::string& text, const std::string& caption) override;

    // Observed by the test hook.
    CImageButton* button(int controlId) const;
    CTransparentStatic* label(int controlId) const;
    CExplorer1* browser() const { return browser_; }
    CProgress_Blue* progressBar() const { return progress_; }
    unsigned progressPosition() const { return progressPosition_; }
    bool hasResult() const { return hasResult_; }
    int resultCode() const { return resultCode_; }
    int resultStage() const { return resultStage_; }
    const StartupFlags& startupFlags() const { return flags_; }
    std::string currentPage() const { return browser_->currentUrl(); }

    // Button handlers, named after the original's commands.
    void OnOK();        // Start
    void OnConfig();    // Config
    void OnJoin();      // Join
    void OnHomePage();  // HomePage

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void OnPatchProgress(std::intptr_t percentage);
    void OnPatchResult(std::intptr_t result, std::intptr_t stage);
    std::string text(int line) const;
    void showBox(const std::string& text);
    void startProgram(const std::string& file, const std::string& parameters, bool hidden);
    void openPage(const std::string& url);
    void layoutSkin();
    [[noreturn]] static void endProcess();

    // Declaration order is destruction order in reverse: the worker and the sequence go
    // before the engine they work on.
    TextTable textTable_;
    StartupFlags flags_;
    SingleInstanceLock mutex_;
    std::unique_ptr<PatchEngine> engine_;
    std::unique_ptr<PatchSequence> sequence_;
    std::unique_ptr<CPatchThread> worker_;
    MessageBoxBridge* boxes_ = nullptr;

    QImage background_;
    CExplorer1* browser_ = nullptr;
    CImageButton* config_ = nullptr;
    CImageButton* start_ = nullptr;
    CImageButton* join_ = nullptr;
    CImageButton* homePage_ = nullptr;
    CImageButton* close_ = nullptr;
    CProgress_Blue* progress_ = nullptr;
    CTransparentStatic* itemLabel_ = nullptr;     // 1002
    CTransparentStatic* counterLabel_ = nullptr;  // 1010
    CTransparentStatic* captionLabel_ = nullptr;  // 1012
    CTransparentStatic* versionLabel_ = nullptr;  // 1008
    CTransparentStatic* statusLabel_ = nullptr;   // 1011
    CTransparentStatic* countLabel_ = nullptr;    // 1013

    std::atomic<unsigned> progressPosition_{0};
    bool hasResult_ = false;
    int resultCode_ = 0;
    int resultStage_ = 0;
    bool destroyed_ = false;
    bool dragging_ = false;
    QPoint dragOffset_;
};

}  // namespace nimbrel
