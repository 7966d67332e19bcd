#pragma once
// The launcher's text label: one line of text over the part of the window's background picture
// that lies under the label, so it looks as if it had no background of its own. A text too long
// for the line ends in an ellipsis and the whole text is the label's tooltip.

#include <QFont>
#include <QImage>
#include <QPointer>
#include <QWidget>
#include <atomic>
#include <mutex>
#include <string>

namespace nimbrel {

class TransparentLabel : public QWidget {
    Q_OBJECT
public:
    explicit TransparentLabel(QWidget* parent = nullptr);

    // Takes, once, the area of `picture` under the label's current geometry in `parent`. The label
    // must already have its final position and size. Clears the text. GUI thread only.
    void attachBackground(QWidget* parent, const QImage& picture);

    // Callable from any thread; never blocks on the GUI thread. The repaint happens on the GUI thread.
    void setText(const std::string& text);
    std::string text() const;
    bool isAttached() const;

    static QColor textColor();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void requestRepaint();
    void refresh();
    void updateOpaqueness();

    mutable std::mutex textLock_;
    std::string text_;
    std::atomic<bool> repaintQueued_{false};
    QPointer<QWidget> attachedTo_;
    bool attached_ = false;
    QFont font_;
    QImage background_;
};

}  // namespace nimbrel
