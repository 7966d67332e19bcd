// make-skin FOLDER: draws the launcher's skin pictures back.jpg and button.jpg into FOLDER.
// The pictures are our own; their layout is the one the launcher window cuts them by: the
// background under the window's controls, and one column of four state images per button.

#include <QColor>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

constexpr int kWindowWidth = 600;
constexpr int kWindowHeight = 421;

enum class State { Normal, MouseOver, Pressed, Disabled };

struct Column {
    int x;
    int width;
    int height;
    const char* caption;
};

// Strip columns of button.jpg, each four state images high, the first at row 1, one pixel apart.
constexpr Column kColumns[] = {
    {1, 54, 51, "SET"},      // Config
    {56, 116, 51, "START"},  // Start
    {173, 39, 11, "HOME"},   // HomePage
    {213, 39, 11, "JOIN"},   // Join
    {254, 24, 11, "X"},      // X
};

QFont font(int pixelSize, bool bold) {
    QFont f("DejaVu Sans");
    f.setPixelSize(pixelSize);
    f.setBold(bold);
    f.setStyleStrategy(QFont::PreferAntialias);
    return f;
}

void drawButton(QPainter& p, const QRect& r, const Column& column, State state) {
    QColor top, bottom, text;
    switch (state) {
        case State::Normal:
            top = QColor("#e8a13c");
            bottom = QColor("#9a4f10");
            text = QColor("#fff6e0");
            break;
        case State::MouseOver:
            top = QColor("#ffd27a");
            bottom = QColor("#c9701c");
            text = QColor("#ffffff");
            break;
        case State::Pressed:
            top = QColor("#7a3c0c");
            bottom = QColor("#c0741e");
            text = QColor("#ffe9b8");
            break;
        case State::Disabled:
            top = QColor("#8a8580");
            bottom = QColor("#55514d");
            text = QColor("#c8c4bf");
            break;
    }
    p.fillRect(r, QColor("#1a1410"));
    QLinearGradient fill(r.topLeft(), r.bottomLeft());
    fill.setColorAt(0, top);
    fill.setColorAt(1, bottom);
    QPainterPath shape;
    const qreal radius = r.height() > 20 ? 7 : 2;
    shape.addRoundedRect(QRectF(r).adjusted(0.5, 0.5, -0.5, -0.5), radius, radius);
    p.fillPath(shape, fill);
    p.setPen(QPen(state == State::Disabled ? QColor("#3a3733") : QColor("#4a2300"), 1));
    p.drawPath(shape);
    const bool big = r.height() > 20;
    p.setFont(font(big ? (r.width() > 80 ? 22 : 13) : 8, true));
    p.setPen(text);
    QRect textRect = r;
    if (state == State::Pressed) textRect.translate(1, 1);
    p.drawText(textRect, Qt::AlignCenter, column.caption);
}

QImage makeButtons() {
    QImage image(280, 210, QImage::Format_RGB32);
    image.fill(QColor("#1a1410"));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    for (const Column& column : kColumns) {
        for (int i = 0; i < 4; ++i) {
            QRect r(column.x, 1 + i * (column.height + 1), column.width, column.height);
            drawButton(p, r, column, static_cast<State>(i));
        }
    }
    return image;
}

QImage makeBackground() {
    QImage image(kWindowWidth, kWindowHeight, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    QLinearGradient sky(0, 0, 0, kWindowHeight);
    sky.setColorAt(0, QColor("#10212e"));
    sky.setColorAt(1, QColor("#05090d"));
    p.fillRect(image.rect(), sky);

    // Title strip behind the small buttons.
    QLinearGradient strip(0, 0, 0, 21);
    strip.setColorAt(0, QColor("#3b2a18"));
    strip.setColorAt(1, QColor("#1c130a"));
    p.fillRect(QRect(0, 0, kWindowWidth, 21), strip);
    p.setPen(QColor("#e8a13c"));
    p.setFont(font(13, true));
    p.drawText(QRect(10, 0, 300, 21), Qt::AlignVCenter | Qt::AlignLeft, "QUORLAN  \u00b7  Launcher");

    // Where the page is shown; visible only while the page loads.
    p.fillRect(QRect(1, 21, 598, 329), QColor("#0b141c"));
    p.setPen(QColor("#35526a"));
    p.setFont(font(12, false));
    p.drawText(QRect(1, 21, 598, 329), Qt::AlignCenter, "Loading news...");

    // Bottom panel: parchment under the labels and the progress bar, so the brown text reads.
    QLinearGradient panel(0, 350, 0, kWindowHeight);
    panel.setColorAt(0, QColor("#3b2a18"));
    panel.setColorAt(1, QColor("#1c130a"));
    p.fillRect(QRect(0, 350, kWindowWidth, kWindowHeight - 350), panel);
    QPainterPath parchment;
    parchment.addRoundedRect(QRectF(88.5, 352.5, 297, 30), 4, 4);
    QLinearGradient paper(0, 352, 0, 383);
    paper.setColorAt(0, QColor("#f3e2bd"));
    paper.setColorAt(1, QColor("#d9c08e"));
    p.fillPath(parchment, paper);
    p.setPen(QPen(QColor("#7e3c08"), 1));
    p.drawPath(parchment);
    // A dark well around the progress bar.
    p.fillRect(QRect(78, 383, 307, 21), QColor("#0d0906"));

    p.setPen(QColor("#8a6a44"));
    p.setFont(font(9, false));
    p.drawText(QRect(10, 404, 300, 16), Qt::AlignVCenter | Qt::AlignLeft, "Nimbrel demo skin");
    return image;
}

// A GUI application wants a runtime folder; without XDG_RUNTIME_DIR (a build, a script, a
// container) Qt warns and makes one in the temporary folder that stays behind. A folder of our
// own for the run, removed at the end, keeps both away.
class PrivateRuntimeFolder {
public:
    PrivateRuntimeFolder() {
        const char* current = std::getenv("XDG_RUNTIME_DIR");
        if (current && current[0] == '/') return;
        const char* temp = std::getenv("TMPDIR");
        std::string pattern = std::string(temp && temp[0] == '/' ? temp : "/tmp") + "/make-skin-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) return;  // Qt falls back to its own, with its warning
        folder_ = pattern;
        ::setenv("XDG_RUNTIME_DIR", folder_.c_str(), 1);
    }
    ~PrivateRuntimeFolder() {
        if (folder_.empty()) return;
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    PrivateRuntimeFolder(const PrivateRuntimeFolder&) = delete;
    PrivateRuntimeFolder& operator=(const PrivateRuntimeFolder&) = delete;

private:
    std::string folder_;
};

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make-skin FOLDER\n  writes FOLDER/back.jpg and FOLDER/button.jpg\n");
        return 2;
    }
    // Drawing needs no display; fonts need a GUI application.
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const PrivateRuntimeFolder runtime;
    QGuiApplication application(argc, argv);
    std::string folder = argv[1];
    if (!folder.empty() && folder.back() != '/') folder += '/';
    const struct {
        QImage image;
        std::string name;
    } outputs[] = {{makeBackground(), "back.jpg"}, {makeButtons(), "button.jpg"}};
    for (const auto& out : outputs) {
        std::string path = folder + out.name;
        if (!out.image.save(QString::fromStdString(path), "JPG", 95)) {
            std::fprintf(stderr, "make-skin: cannot write %s\n", path.c_str());
            return 1;
        }
    }
    return 0;
}
