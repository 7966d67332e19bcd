#pragma once
// The launcher's push button, drawn entirely from a vertical strip of a skin picture that holds one
// image per visual state, with its own mouse-over tracking. While it has the keyboard focus it
// shows a dotted focus mark; a caption, where set, replaces the lettering of its picture.

#include <QAbstractButton>
#include <QRect>
#include <QString>
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

    // Shown instead of the picture's own lettering, on the picture's face; empty: the picture as
    // it is. Lets one picture serve a second meaning of the same button.
    void setCaption(const QString& caption);
    QString caption() const { return caption_; }

    // The focus mark's two colours, alternating pixel by pixel: the skin's outline brown and its
    // lettering cream, so that one of them shows on any face.
    static constexpr QRgb kFocusDark = 0x4A2300;
    static constexpr QRgb kFocusLight = 0xFFF6E0;
    // Distance of the focus mark from the button's edges.
    int focusInset() const { return height() > 20 ? 5 : 2; }

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
    void drawCaptionFace(QPainter& painter, State state) const;
    void drawFocusMark(QPainter& painter) const;

    int pictureIndex_ = -1;
    QRect normal_;
    QRect mouseOver_;
    QRect pressed_;
    QRect disabled_;
    bool pressedDown_ = false;
    bool hover_ = false;
    QString caption_;
};

}  // namespace nimbrel
