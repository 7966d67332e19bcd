#pragma once
// The launcher's only window: frameless, skinned, draggable by its background, showing the
// embedded page, the patch progress and five picture buttons. It owns the text table and the
// patch run (start-up flags, single-instance lock, engine and worker), and it is the engine's
// window: the worker reaches it only through the PatchWindow calls below. Its controls carry
// object names (see the constructor), so tools and tests can find them as Qt widgets.

#include <QDialog>
#include <QImage>
#include <QPoint>
#include <string>

#include "app/CExplorer1.h"
#include "controls/CImageButton.h"
#include "controls/CProgress_Blue.h"
#include "controls/CTransparentStatic.h"
#include "engine/PatchRun.h"
#include "engine/TextTable.h"
#include "platform/PatchWindow.h"

namespace nimbrel {

class MessageBoxBridge;

class CNimbrel2Dlg : public QDialog, public PatchWindow {
    Q_OBJECT
public:
    static constexpr int kWidth = 600;
    static constexpr int kHeight = 421;

    // Probes for ManualPatch.ini in the game folder and scans the command line. The game
    // folder is the executable's unless one is given (absolute, ending in "/").
    explicit CNimbrel2Dlg(const std::string& commandLine, const std::string& gameFolder = std::string(),
                          QWidget* parent = nullptr);
    ~CNimbrel2Dlg() override;

    // Text table, single instance, engine, skin and layout, engine texts, update folder and
    // the worker's start, in that order. Ends the process with code 0 on a second instance
    // or a missing skin, as the original did.
    bool OnInitDialog();
    // The window's teardown: stop and join the worker, empty the update folder after an
    // online run, give the single-instance name up, delete the engine. Runs once.
    void OnDestroy();

    // PatchWindow, callable from the worker.
    void postMessage(unsigned message, std::intptr_t wParam, std::intptr_t lParam) override;
    void setLabelText(int controlId, const std::string& text) override;
    void messageBox(const std::string& text, const std::string& caption) override;

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
    CImageButton* button(int controlId) const;
    CTransparentStatic* label(int controlId) const;
    std::string text(int line) const { return textTable_.lineOrEmpty(line); }
    void showBox(const std::string& text);
    void startProgram(const std::string& file, const std::string& parameters, bool hidden);
    void openPage(const std::string& url);
    void layoutSkin();
    std::string inGameFolder(const std::string& name) const;
    [[noreturn]] static void endProcess();

    // The run uses the table, so the table is declared first and goes last.
    TextTable textTable_;
    std::string gameFolder_;
    PatchRun run_;
    MessageBoxBridge* boxes_ = nullptr;

    QImage background_;
    CExplorer1* browser_ = nullptr;
    CImageButton* config_ = nullptr;
    CImageButton* start_ = nullptr;
    CImageButton* join_ = nullptr;
    CImageButton* homePage_ = nullptr;
    CImageButton* close_ = nullptr;
    CProgress_Blue* progress_ = nullptr;
    CTransparentStatic* itemLabel_ = nullptr;
    CTransparentStatic* counterLabel_ = nullptr;
    CTransparentStatic* captionLabel_ = nullptr;
    CTransparentStatic* versionLabel_ = nullptr;
    CTransparentStatic* statusLabel_ = nullptr;
    CTransparentStatic* countLabel_ = nullptr;

    bool destroyed_ = false;
    bool dragging_ = false;
    QPoint dragOffset_;
};

}  // namespace nimbrel
