// controls-harness [--skin-folder DIR] [--percent N] [--screenshot FILE]
//
// Shows the picture buttons, the progress bar and the labels where the launcher window puts them,
// on the skin pictures of DIR ("back.jpg", "button.jpg") or, without them, on pictures drawn here.
// With --screenshot the window is grabbed to FILE (PNG) at N percent and the program exits.

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "controls/PictureButton.h"
#include "controls/SkinnedProgressBar.h"
#include "controls/TransparentLabel.h"

using nimbrel::PictureButton;
using nimbrel::SkinnedProgressBar;
using nimbrel::TransparentLabel;

namespace {

constexpr int kWindowWidth = 600;
constexpr int kWindowHeight = 421;

struct ButtonPlace {
    const char* caption;
    QRect geometry;
    QPoint strip;
};

// Placements and strip columns of the launcher window's buttons.
const ButtonPlace kButtons[] = {
    {"Start", {466, 351, 116, 51}, {56, 1}}, {"Config", {395, 351, 54, 51}, {1, 1}},
    {"Join", {508, 5, 39, 11}, {213, 1}},    {"HomePage", {457, 5, 39, 11}, {173, 1}},
    {"X", {561, 5, 24, 11}, {254, 1}},
};

// The launcher's labels, in layout units scaled so that the 338 x 241 grid fills the 600 x 421
// window.
struct LabelPlace {
    const char* role;
    QRect units;
};
const LabelPlace kLabels[] = {
    {"item", {96, 211, 97, 8}},    {"counter", {196, 211, 20, 8}}, {"version caption", {56, 203, 24, 8}},
    {"version", {83, 203, 13, 8}}, {"status", {100, 203, 111, 8}}, {"count caption", {55, 211, 40, 8}},
};

QRect toPixels(const QRect& units) {
    auto sx = [](int v) { return (v * kWindowWidth + 169) / 338; };
    auto sy = [](int v) { return (v * kWindowHeight + 120) / 241; };
    return QRect(QPoint(sx(units.left()), sy(units.top())), QSize(sx(units.width()), sy(units.height())));
}

// A stand-in for the game's background skin: title strip, page area and the bottom panel.
QImage drawnBackground() {
    QImage picture(kWindowWidth, kWindowHeight, QImage::Format_RGB32);
    QPainter painter(&picture);
    QLinearGradient body(0, 0, 0, kWindowHeight);
    body.setColorAt(0, QColor(0x3A, 0x22, 0x10));
    body.setColorAt(1, QColor(0x12, 0x0A, 0x04));
    painter.fillRect(picture.rect(), body);
    painter.fillRect(QRect(0, 21, kWindowWidth, 329), QColor(0xF4, 0xEC, 0xDC));
    painter.setPen(QColor(0x9A, 0x80, 0x60));
    painter.drawText(QRect(0, 21, kWindowWidth, 329), Qt::AlignCenter, QStringLiteral("(news page)"));
    QLinearGradient panel(0, 352, 0, 404);
    panel.setColorAt(0, QColor(0xF7, 0xE6, 0xC4));
    panel.setColorAt(1, QColor(0xE2, 0xC8, 0x98));
    painter.setPen(QColor(0x7E, 0x3C, 0x08));
    painter.setBrush(panel);
    painter.drawRoundedRect(QRect(90, 352, 300, 56), 6, 6);
    painter.setPen(QColor(0xF1, 0x84, 0x2F));
    painter.drawText(QRect(8, 2, 200, 18), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Quorlan"));
    return picture;
}

// A stand-in button strip: four images per button, one pixel row apart, normal, mouse-over,
// pressed and disabled from the top.
QImage drawnButtonStrip() {
    QImage picture(300, 220, QImage::Format_RGB32);
    picture.fill(QColor(0xFF, 0x00, 0xFF));  // gaps in a colour that would show any misplaced copy
    QPainter painter(&picture);
    const QColor faces[4][2] = {{{0xE8, 0x8A, 0x2C}, {0x9C, 0x4A, 0x10}},
                                {{0xFF, 0xB0, 0x50}, {0xC0, 0x66, 0x1C}},
                                {{0x9C, 0x4A, 0x10}, {0xE8, 0x8A, 0x2C}},
                                {{0x9A, 0x92, 0x88}, {0x60, 0x5A, 0x54}}};
    for (const ButtonPlace& b : kButtons) {
        const QSize size = b.geometry.size();
        for (int state = 0; state < 4; ++state) {
            const QRect face(b.strip + QPoint(0, state * (size.height() + 1)), size);
            QLinearGradient shade(face.topLeft(), face.bottomLeft());
            shade.setColorAt(0, faces[state][0]);
            shade.setColorAt(1, faces[state][1]);
            painter.fillRect(face, shade);
            painter.setPen(QColor(0x4A, 0x1E, 0x04));
            painter.drawRect(face.adjusted(0, 0, -1, -1));
            QFont font = painter.font();
            font.setPixelSize(size.height() > 20 ? 14 : 8);
            font.setBold(size.height() > 20);
            painter.setFont(font);
            painter.setPen(state == 3 ? QColor(0xD0, 0xCC, 0xC8) : QColor(0xFF, 0xF6, 0xE8));
            painter.drawText(face.translated(state == 2 ? 1 : 0, state == 2 ? 1 : 0), Qt::AlignCenter, b.caption);
        }
    }
    return picture;
}

struct Harness {
    QWidget window;
    SkinnedProgressBar* bar = nullptr;
    PictureButton* start = nullptr;
    std::vector<TransparentLabel*> labels;
};

void showProgress(Harness& h, unsigned percent) {
    h.bar->setValue(percent);
    const unsigned total = 12;
    const unsigned now = percent * total / 100;
    h.labels[0]->setText(percent >= 100 ? "" : "map/field_" + std::to_string(now + 1) + ".zip");
    h.labels[1]->setText(std::to_string(now) + "/" + std::to_string(total));
    h.labels[4]->setText(percent >= 100 ? "Completed Update File" : "While Updating...");
    h.start->setEnabled(percent >= 100);
}

// The skin's pictures: a folder's back.jpg and button.jpg, or pictures drawn here into drawn.
struct SkinPictures {
    QImage background;
    std::string buttonPicture;
};

// Nothing, with the reason on stderr, when the pictures cannot be had.
std::optional<SkinPictures> loadSkin(const std::optional<QString>& skinFolder, const QTemporaryDir& drawn) {
    SkinPictures skin;
    if (skinFolder) {
        const QDir folder(*skinFolder);
        skin.background = QImage(folder.filePath(QStringLiteral("back.jpg")));
        skin.buttonPicture = folder.filePath(QStringLiteral("button.jpg")).toStdString();
        if (skin.background.isNull() || !QFileInfo::exists(QString::fromStdString(skin.buttonPicture))) {
            std::fprintf(stderr, "controls-harness: %s must hold back.jpg and button.jpg\n",
                         folder.path().toLocal8Bit().constData());
            return std::nullopt;
        }
        return skin;
    }
    skin.background = drawnBackground();
    const QString strip = drawn.filePath(QStringLiteral("button.png"));
    if (!drawn.isValid() || !drawnButtonStrip().save(strip)) {
        std::fprintf(stderr, "controls-harness: cannot write the drawn button picture\n");
        return std::nullopt;
    }
    skin.buttonPicture = strip.toStdString();
    return skin;
}

// The window with its buttons, bar and labels laid out as the launcher lays them out.
void buildHarness(Harness& h, const SkinPictures& skin, QApplication& app) {
    const QImage& background = skin.background;
    const std::string& buttonPicture = skin.buttonPicture;
    h.window.setWindowFlag(Qt::FramelessWindowHint);
    h.window.setWindowTitle(QStringLiteral("Nimbrel controls"));
    h.window.setFixedSize(kWindowWidth, kWindowHeight);
    auto* picture = new QLabel(&h.window);
    picture->setGeometry(0, 0, kWindowWidth, kWindowHeight);
    picture->setPixmap(QPixmap::fromImage(background));

    for (const ButtonPlace& place : kButtons) {
        auto* button = new PictureButton(&h.window);
        button->setGeometry(place.geometry);
        button->setSkin(buttonPicture, place.strip.x(), place.strip.y());
        if (std::string(place.caption) == "Start") h.start = button;
        if (std::string(place.caption) == "X")
            QObject::connect(button, &PictureButton::clicked, &app, &QApplication::quit);
    }
    h.start->setEnabled(false);

    h.bar = new SkinnedProgressBar(&h.window);
    h.bar->setGeometry(81, 385, 301, 16);
    h.bar->setRange(0, 100);

    for (const LabelPlace& place : kLabels) {
        auto* label = new TransparentLabel(&h.window);
        label->setGeometry(toPixels(place.units));
        label->attachBackground(&h.window, background);
        h.labels.push_back(label);
    }
    h.labels[2]->setText("Version");
    h.labels[3]->setText("412");
    h.labels[5]->setText("[Now/Total]");
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("The launcher's skinned controls on a background picture."));
    parser.addHelpOption();
    const QCommandLineOption skinOption(QStringLiteral("skin-folder"),
                                        QStringLiteral("Folder holding back.jpg and button.jpg."),
                                        QStringLiteral("DIR"));
    const QCommandLineOption percentOption(QStringLiteral("percent"), QStringLiteral("Progress to show, 0..100."),
                                           QStringLiteral("N"));
    const QCommandLineOption shotOption(QStringLiteral("screenshot"),
                                        QStringLiteral("Save the window to FILE (PNG) and exit."),
                                        QStringLiteral("FILE"));
    parser.addOptions({skinOption, percentOption, shotOption});
    parser.process(app);

    int percent = -1;
    if (parser.isSet(percentOption)) {
        bool ok = false;
        percent = parser.value(percentOption).toInt(&ok);
        if (!ok || percent < 0 || percent > 100) {
            std::fprintf(stderr, "controls-harness: --percent takes a whole number from 0 to 100\n");
            return 2;
        }
    }

    QTemporaryDir drawn;
    const std::optional<SkinPictures> skin = loadSkin(
        parser.isSet(skinOption) ? std::optional<QString>(parser.value(skinOption)) : std::nullopt, drawn);
    if (!skin) return parser.isSet(skinOption) ? 2 : 1;

    Harness h;
    buildHarness(h, *skin, app);
    showProgress(h, percent < 0 ? 0 : static_cast<unsigned>(percent));

    if (parser.isSet(shotOption)) {
        QCoreApplication::processEvents();
        const QString file = parser.value(shotOption);
        if (!h.window.grab().save(file, "PNG")) {
            std::fprintf(stderr, "controls-harness: cannot write %s\n", file.toLocal8Bit().constData());
            return 1;
        }
        return 0;
    }

    h.window.show();
    QTimer animation;
    if (percent < 0) {
        // Without a fixed percentage the bar runs through a patch over and over.
        QObject::connect(&animation, &QTimer::timeout, [&h, step = 0u]() mutable {
            showProgress(h, step % 121 > 100 ? 100 : step % 121);
            ++step;
        });
        animation.start(60);
    }
    return app.exec();
}
