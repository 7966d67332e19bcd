#include "controls/PictureButton.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPointer>

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

void PictureButton::paintEvent(QPaintEvent*) {
    const State state = currentState();
    if (state == State::Pressed) DebugOutput::write("Down\n");
    if (state == State::MouseOver) DebugOutput::write("MouseOver\n");
    QPainter painter(this);
    SkinPictureStore::instance().draw(painter, pictureIndex_, sourceRect(state));
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
