#pragma once
// The launcher's embedded web page. The original hosted a browser control driven only through
// its Navigate method; this wraps a Qt WebEngine view behind the same one operation. The view
// is made on the first Navigate, so a launcher that ends during its start-up checks never
// starts the browser engine.

#include <QWidget>
#include <string>

class QWebEngineView;

namespace nimbrel {

class CExplorer1 : public QWidget {
    Q_OBJECT
public:
    explicit CExplorer1(QWidget* parent = nullptr);

    void Navigate(const std::string& url);
    std::string currentUrl() const;

private:
    QWebEngineView* view_ = nullptr;
};

}  // namespace nimbrel
