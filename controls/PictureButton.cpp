#include "controls/PictureButton.h"

#include <QFont>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <algorithm>
#include <cstdlib>

#include "controls/SkinPictureStore.h"
#include "platform/DebugOutput.h"

namespace nimbrel {

PictureButton::PictureButton(QWidget* parent) : QAbstractButton(parent) {
    // Mouse-over needs moves without a button held; leaving is seen through leaveEvent, which plays
    // the part of the first move outside a captured button.
    setMouseTracking(true);
}

void PictureButton::setSkin(const std::string& pictureName, int x, int y) {
    pictureIndex_ = SkinPictureStore::instance().findOrLoad(pictureName);
    const int w = width();
    const int h = height();
    // Four images of the button's size stacked top to bottom with one spare pixel row between them.
    normal_ = QRect(x, y, w, h);
    mouseOver_ = QRect(x, y + h + 1, w, h);
    pressed_ = QRect(x, y + 2 * h + 2, w, h);
    disabled_ = QRect(x, y + 3 * h + 3, w, h);
    updateOpaqueness();
    update();
}

void PictureButton::updateOpaqueness() {
    // The button never erases its background: a missing picture, or a strip that runs off the
    // picture, must leave the window's pixels showing. Only a strip that covers the whole button in
    // every state may tell Qt to skip painting what lies beneath.
    const SkinPictureStore& store = SkinPictureStore::instance();
    const QRect picture(QPoint(0, 0), store.pictureSize(pictureIndex_));
    const bool covers = store.isLoaded(pictureIndex_) && picture.contains(normal_) && picture.contains(mouseOver_) &&
                        picture.contains(pressed_) && picture.contains(disabled_);
    setAttribute(Qt::WA_OpaquePaintEvent, covers);
}

PictureButton::State PictureButton::currentState() const {
    if (!isEnabled()) return State::Disabled;
    if (pressedDown_) return State::Pressed;
    if (hover_) return State::MouseOver;
    return State::Normal;
}

QRect PictureButton::sourceRect(State state) const {
    switch (state) {
        case State::Normal:
            return normal_;
        case State::MouseOver:
            return mouseOver_;
        case State::Pressed:
            return pressed_;
        case State::Disabled:
            return disabled_;
    }
    return normal_;
}

void PictureButton::setCaption(const QString& caption) {
    caption_ = caption;
    update();
}

void PictureButton::paintEvent(QPaintEvent*) {
    const State state = currentState();
    if (state == State::Pressed) DebugOutput::write("Down\n");
    if (state == State::MouseOver) DebugOutput::write("MouseOver\n");
    QPainter painter(this);
    if (caption_.isEmpty())
        SkinPictureStore::instance().draw(painter, pictureIndex_, sourceRect(state));
    else
        drawCaptionFace(painter, state);
    if (hasFocus()) drawFocusMark(painter);
}

namespace {

int distance(QRgb a, QRgb b) {
    return std::abs(qRed(a) - qRed(b)) + std::abs(qGreen(a) - qGreen(b)) + std::abs(qBlue(a) - qBlue(b));
}

}  // namespace

void PictureButton::drawCaptionFace(QPainter& painter, State state) const {
    // Without its picture the button shows the window's pixels, caption or not.
    if (!SkinPictureStore::instance().isLoaded(pictureIndex_)) return;
    QImage face(size(), QImage::Format_RGB32);
    face.fill(Qt::black);
    {
        QPainter facePainter(&face);
        SkinPictureStore::instance().draw(facePainter, pictureIndex_, sourceRect(state));
    }
    // Skins shade a face from top to bottom and letter it in the middle, leaving a plain column
    // near the left edge: that column, stretched across, clears the lettering and keeps the
    // face's colours, edge and corners. The caption takes the colour of the lettering it
    // replaces, the pixel of the middle row that stands out most from the face.
    const int margin = std::max(2, height() / 8);
    const int middle = height() / 2;
    const QRgb plainMiddle = face.pixel(margin, middle);
    QRgb lettering = plainMiddle;
    for (int x = margin; x < width() - margin; ++x)
        if (distance(face.pixel(x, middle), plainMiddle) > distance(lettering, plainMiddle))
            lettering = face.pixel(x, middle);
    for (int y = margin; y < height() - margin; ++y) {
        const QRgb plain = face.pixel(margin, y);
        for (int x = margin; x < width() - margin; ++x) face.setPixel(x, y, plain);
    }
    QPainter facePainter(&face);
    facePainter.setRenderHint(QPainter::TextAntialiasing);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(std::max(8, height() * 3 / 7));
    font.setBold(true);
    facePainter.setFont(font);
    facePainter.setPen(QColor(lettering));
    // A pressed face's lettering moves down and right by a pixel, as the pictures draw it.
    const QRect textRect = state == State::Pressed ? rect().translated(1, 1) : rect();
    facePainter.drawText(textRect, Qt::AlignCenter, caption_);
    facePainter.end();
    painter.save();
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.drawImage(0, 0, face);
    painter.restore();
}

void PictureButton::drawFocusMark(QPainter& painter) const {
    // A rectangle of single pixels alternating between two colours, laid on the pixel grid.
    const QRect mark = rect().adjusted(focusInset(), focusInset(), -focusInset(), -focusInset());
    auto dot = [&](int x, int y) {
        painter.setPen(QColor((x + y) % 2 == 0 ? kFocusLight : kFocusDark));
        painter.drawPoint(x, y);
    };
    for (int x = mark.left(); x <= mark.right(); ++x) {
        dot(x, mark.top());
        dot(x, mark.bottom());
    }
    for (int y = mark.top() + 1; y < mark.bottom(); ++y) {
        dot(mark.left(), y);
        dot(mark.right(), y);
    }
}

void PictureButton::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        pressedDown_ = true;
        update();
    }
    QAbstractButton::mousePressEvent(event);
}

void PictureButton::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QAbstractButton::mouseReleaseEvent(event);
        return;
    }
    // The click goes out first; its handler may close the window and destroy this button.
    QPointer<PictureButton> self(this);
    QAbstractButton::mouseReleaseEvent(event);
    if (!self) return;
    pressedDown_ = false;
    updateHover(event->position().toPoint());
    update();
}

void PictureButton::mouseDoubleClickEvent(QMouseEvent* event) {
    // A quick second click must count as a second press, not be swallowed as a double click. Qt
    // usually delivers the second press before this event; only when it did not is one made here.
    if (event->button() == Qt::LeftButton) {
        if (!pressedDown_) mousePressEvent(event);
        event->accept();
        return;
    }
    QAbstractButton::mouseDoubleClickEvent(event);
}

void PictureButton::mouseMoveEvent(QMouseEvent* event) {
    // While pressed the hover state is frozen, so a press dragged off keeps the pressed image.
    if (!pressedDown_) updateHover(event->position().toPoint());
    QAbstractButton::mouseMoveEvent(event);
}

void PictureButton::leaveEvent(QEvent* event) {
    if (!pressedDown_ && hover_) {
        hover_ = false;
        repaint();
    }
    QAbstractButton::leaveEvent(event);
}

void PictureButton::changeEvent(QEvent* event) {
    if (event->type() == QEvent::EnabledChange && !isEnabled()) {
        // A disabled button receives no release, so a press or hover in progress would otherwise
        // reappear when it is enabled again.
        pressedDown_ = false;
        hover_ = false;
    }
    QAbstractButton::changeEvent(event);
}

void PictureButton::updateHover(const QPoint& point) {
    if (rect().contains(point)) {
        if (hover_) return;
        hover_ = true;
        repaint();
        return;
    }
    hover_ = false;
    repaint();
}

}  // namespace nimbrel
