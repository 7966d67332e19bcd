#pragma once
// The launcher's push button, drawn entirely from a vertical strip of a skin picture that holds one
// image per visual state, with its own mouse-over tracking.

#include <QAbstractButton>
#include <QRect>
#include <string>

namespace nimbrel {

class PictureButton : public QAbstractButton {
    Q_OBJECT
public:
    // Order of the images in the strip, top to bottom.
    enum class State { Normal, MouseOver, Pressed, Disabled };

    explicit PictureButton(QWidget* parent = nullptr);

    // Chooses the picture and the top-left corner of the strip. The button must already have its
    // final size: each state image is as large as the button.
    void setSkin(const std::string& pictureName, int x, int y);

    // The state the next paint draws, by precedence disabled, pressed, mouse-over, normal.
    State currentState() const;
    QRect sourceRect(State state) const;
    int pictureIndex() const { return pictureIndex_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void updateHover(const QPoint& point);
    void updateOpaqueness();

    int pictureIndex_ = -1;
    QRect normal_;
    QRect mouseOver_;
    QRect pressed_;
    QRect disabled_;
    bool pressedDown_ = false;
    bool hover_ = false;
};

}  // namespace nimbrel
