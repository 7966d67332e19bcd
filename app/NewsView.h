#pragma once
// The launcher's embedded web page (the patch server's news), a Qt WebEngine view with one
// operation: load a page. The view is made on the first load, so a launcher that ends during
// its start-up checks never starts the browser engine.

#include <QWidget>
#include <string>

class QWebEngineView;

namespace nimbrel {

class NewsView : public QWidget {
    Q_OBJECT
public:
    explicit NewsView(QWidget* parent = nullptr);

    void load(const std::string& url);
    std::string currentUrl() const;

private:
    QWebEngineView* view_ = nullptr;
};

}  // namespace nimbrel
