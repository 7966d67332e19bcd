#pragma once
// Shared ground of the skinned-control widget tests: one QApplication per test executable, made
// only when tests run (listing them needs no display), and pictures whose pixels name their place.

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QMouseEvent>
#include <cstdlib>
#include <memory>

namespace nimbrel::testing {

class QtApplicationEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        // Without a display the tests still run, on the offscreen platform.
        if (std::getenv("QT_QPA_PLATFORM") == nullptr && std::getenv("DISPLAY") == nullptr &&
            std::getenv("WAYLAND_DISPLAY") == nullptr) {
            setenv("QT_QPA_PLATFORM", "offscreen", 1);
        }
        app_ = std::make_unique<QApplication>(argc_, argv_);
    }
    void TearDown() override { app_.reset(); }

private:
    int argc_ = 1;
    char name_[16] = "controls-test";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QApplication> app_;
};

inline const bool kQtEnvironmentRegistered = (::testing::AddGlobalTestEnvironment(new QtApplicationEnvironment), true);

// Each pixel encodes its own coordinates (x and y up to 511), so a grab tells where in the picture
// a control copied from.
inline QImage coordinatePicture(int width, int height) {
    QImage picture(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) picture.setPixel(x, y, qRgb(x & 0xFF, y & 0xFF, ((x >> 8) << 1) | (y >> 8)));
    }
    return picture;
}

inline QPoint decodeCoordinate(QRgb pixel) {
    return QPoint(qRed(pixel) | ((qBlue(pixel) >> 1) << 8), qGreen(pixel) | ((qBlue(pixel) & 1) << 8));
}

inline QRgb rgbAt(const QImage& image, int x, int y) { return image.pixel(x, y) & 0xFFFFFFu; }

// Mouse events go straight to the widget, so the tests do not depend on a window manager placing
// and focusing a real window.
inline void sendMouse(QWidget& widget, QEvent::Type type, QPoint at, Qt::MouseButton button, Qt::MouseButtons held) {
    QMouseEvent event(type, at, widget.mapToGlobal(at), button, held, Qt::NoModifier);
    QApplication::sendEvent(&widget, &event);
}
inline void press(QWidget& w, QPoint at) { sendMouse(w, QEvent::MouseButtonPress, at, Qt::LeftButton, Qt::LeftButton); }
inline void release(QWidget& w, QPoint at) {
    sendMouse(w, QEvent::MouseButtonRelease, at, Qt::LeftButton, Qt::NoButton);
}
inline void doubleClick(QWidget& w, QPoint at) {
    sendMouse(w, QEvent::MouseButtonDblClick, at, Qt::LeftButton, Qt::LeftButton);
}
inline void move(QWidget& w, QPoint at, Qt::MouseButtons held = Qt::NoButton) {
    sendMouse(w, QEvent::MouseMove, at, Qt::NoButton, held);
}
inline void leave(QWidget& w) {
    QEvent event(QEvent::Leave);
    QApplication::sendEvent(&w, &event);
}

}  // namespace nimbrel::testing
