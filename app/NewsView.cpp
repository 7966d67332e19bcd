#include "app/NewsView.h"

#include <QUrl>
#include <QVBoxLayout>
#include <QWebEngineView>

namespace nimbrel {

NewsView::NewsView(QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
}

void NewsView::load(const std::string& url) {
    if (!view_) {
        view_ = new QWebEngineView(this);
        // The page belongs to the window's skin: no context menu of the browser's own.
        view_->setContextMenuPolicy(Qt::NoContextMenu);
        layout()->addWidget(view_);
    }
    view_->setUrl(QUrl::fromUserInput(QString::fromStdString(url)));
}

std::string NewsView::currentUrl() const { return view_ ? view_->url().toString().toStdString() : std::string(); }

}  // namespace nimbrel
