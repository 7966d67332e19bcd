#include "app/GameFolderDialog.h"

#include <QBoxLayout>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <utility>

#include "engine/GameFolderLocator.h"

namespace nimbrel {

GameFolderDialog::GameFolderDialog(std::string settingsPath, const std::string& folder, const std::string& notice,
                                   QWidget* parent)
    : QDialog(parent),
      settingsPath_(std::move(settingsPath)),
      folder_(new QLineEdit(QString::fromStdString(folder), this)),
      reason_(new QLabel(QString::fromStdString(notice), this)),
      buttons_(new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this)) {
    setWindowTitle(tr("Nimbrel - Quorlan game folder"));
    auto* intro = new QLabel(tr("<b>Where is Quorlan installed?</b><br>"
                                "Choose the folder that holds QuorlanPlus.exe, or an empty folder "
                                "to install the game into. Nimbrel keeps this folder up to date."),
                             this);
    intro->setWordWrap(true);
    reason_->setWordWrap(true);
    reason_->setStyleSheet(QStringLiteral("color: #b3261e;"));
    reason_->setVisible(!notice.empty());
    folder_->setPlaceholderText(tr("/home/player/Games/Quorlan"));
    auto* browse = new QPushButton(tr("Browse…"), this);
    buttons_->button(QDialogButtonBox::Ok)->setText(tr("Use this folder"));
    auto* settingsNote = new QLabel(tr("Saved in %1.<br>To change it later: nimbrel --choose-game-dir")
                                        .arg(QString::fromStdString(settingsPath_).toHtmlEscaped()),
                                    this);
    settingsNote->setWordWrap(true);
    settingsNote->setTextFormat(Qt::RichText);
    settingsNote->setStyleSheet(QStringLiteral("color: #5f6368;"));

    auto* row = new QHBoxLayout;
    row->addWidget(folder_, 1);
    row->addWidget(browse);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(intro);
    layout->addSpacing(6);
    layout->addLayout(row);
    layout->addWidget(reason_);
    layout->addWidget(settingsNote);
    layout->addSpacing(6);
    layout->addWidget(buttons_);

    connect(browse, &QPushButton::clicked, this, &GameFolderDialog::browse);
    connect(buttons_, &QDialogButtonBox::accepted, this, &GameFolderDialog::accept);
    connect(buttons_, &QDialogButtonBox::rejected, this, &GameFolderDialog::reject);
    connect(folder_, &QLineEdit::textEdited, this, [this] { showReason(QString()); });
    fitHeight();
}

void GameFolderDialog::setFolder(const QString& folder) {
    folder_->setText(folder);
    showReason(QString());
}

void GameFolderDialog::showReason(const QString& reason) {
    reason_->setText(reason);
    reason_->setVisible(!reason.isEmpty());
    fitHeight();
}

void GameFolderDialog::fitHeight() {
    // A fixed width, and the height the wrapped texts need at it.
    constexpr int kWidth = 560;
    layout()->activate();
    setFixedSize(kWidth, heightForWidth(kWidth));
}

QString GameFolderDialog::reason() const { return reason_->text(); }

void GameFolderDialog::browse() {
    const QString start = folder_->text().isEmpty() ? QDir::homePath() : folder_->text();
    const QString picked = QFileDialog::getExistingDirectory(this, tr("Quorlan game folder"), start);
    if (!picked.isEmpty()) setFolder(picked);
}

void GameFolderDialog::accept() {
    // "~" is what a player types for the home folder; the check wants a full path.
    QString typed = folder_->text().trimmed();
    if (typed == QLatin1String("~") || typed.startsWith(QLatin1String("~/"))) typed.replace(0, 1, QDir::homePath());
    const GameFolderCheck check = GameFolderLocator::check(typed.toStdString());
    if (check.kind == GameFolderCheck::Kind::Refused) {
        showReason(QString::fromStdString(check.reason));
        return;
    }
    std::string error;
    if (!GameFolderLocator::remember(check.folder, settingsPath_, error)) {
        showReason(tr("The choice cannot be saved: %1").arg(QString::fromStdString(error)));
        return;
    }
    chosen_ = check.folder;
    QDialog::accept();
}

}  // namespace nimbrel
