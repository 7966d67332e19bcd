#pragma once
// Asks for the game folder when the launcher lies in none and its settings name none (and on
// the start word --choose-game-dir). The skin's pictures lie in the game folder, so this is a
// plain dialog. It accepts a folder holding the game or an empty one to install into, refuses
// anything else with the reason, and saves the choice as game_dir in the settings file; Cancel
// writes nothing.

#include <QDialog>
#include <string>

class QDialogButtonBox;
class QLabel;
class QLineEdit;

namespace nimbrel {

class GameFolderDialog : public QDialog {
    Q_OBJECT

public:
    // folder: shown at first (may be empty); notice: why the dialog is shown beyond the
    // first start, e.g. a game_dir the settings give in a form we cannot use.
    GameFolderDialog(std::string settingsPath, const std::string& folder, const std::string& notice,
                     QWidget* parent = nullptr);

    void setFolder(const QString& folder);
    QString reason() const;
    // The folder saved, absolute and ending in "/"; empty before the player accepted one.
    const std::string& chosenFolder() const { return chosen_; }
    QDialogButtonBox* buttons() const { return buttons_; }

    // Checks the folder and saves it; stays open with the reason when it is refused.
    void accept() override;

private:
    void browse();
    void showReason(const QString& reason);  // empty: hides the line
    void fitHeight();

    std::string settingsPath_;
    std::string chosen_;
    QLineEdit* folder_;
    QLabel* reason_;
    QDialogButtonBox* buttons_;
};

}  // namespace nimbrel
