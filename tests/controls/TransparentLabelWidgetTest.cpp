// The transparent label must show exactly the picture under it and its text in one colour on one
// line, and stay whole while other threads change the text.
#include <gtest/gtest.h>

#include <QTest>
#include <QThread>
#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "controls/TransparentLabel.h"
#include "tests/controls/ControlsTestSupport.h"

namespace nimbrel {
namespace {

using testing::decodeCoordinate;
using testing::rgbAt;

constexpr QRgb kTextColour = 0x632400;

QImage render(QWidget& widget) {
    QImage image(widget.size(), QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    widget.render(&image);
    return image;
}

QImage flatPicture(QRgb colour) {
    QImage picture(600, 421, QImage::Format_RGB32);
    picture.fill(colour);
    return picture;
}

int countColour(const QImage& image, QRgb colour, QRect area = {}) {
    if (area.isNull()) area = image.rect();
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) count += rgbAt(image, x, y) == colour;
    return count;
}

TEST(TransparentLabel, BackgroundIsTheAreaOfThePictureUnderTheLabel) {
    struct Case {
        const char* what;
        QPoint container;  // (0, 0): the label sits directly on the window
        QRect label;
    };
    const Case cases[] = {
        {"on the window", {0, 0}, {100, 50, 80, 14}},
        {"inside a panel", {20, 30}, {5, 6, 60, 14}},
        {"at the window's corner", {0, 0}, {0, 0, 40, 10}},
    };
    const QImage picture = testing::coordinatePicture(600, 421);
    for (const Case& c : cases) {
        QWidget window;
        window.resize(600, 421);
        QWidget panel(&window);
        panel.setGeometry(QRect(c.container, QSize(300, 200)));
        TransparentLabel label(c.container.isNull() ? &window : &panel);
        label.setGeometry(c.label);
        label.attachBackground(&window, picture);
        ASSERT_TRUE(label.isAttached());

        const QImage image = render(label);
        const QPoint origin = c.container + c.label.topLeft();
        for (int y = 0; y < c.label.height(); ++y) {
            for (int x = 0; x < c.label.width(); ++x)
                ASSERT_EQ(decodeCoordinate(rgbAt(image, x, y)), origin + QPoint(x, y)) << c.what;
        }
    }
}

TEST(TransparentLabel, LabelMovedAfterAttachingKeepsItsOldBackground) {
    QWidget window;
    window.resize(600, 421);
    TransparentLabel label(&window);
    label.setGeometry(200, 100, 50, 12);
    label.attachBackground(&window, testing::coordinatePicture(600, 421));
    label.move(10, 300);
    const QImage image = render(label);
    EXPECT_EQ(decodeCoordinate(rgbAt(image, 0, 0)), QPoint(200, 100));
    EXPECT_EQ(decodeCoordinate(rgbAt(image, 49, 11)), QPoint(249, 111));
}

TEST(TransparentLabel, LabelNeverAttachedPaintsNothingEvenWithText) {
    QWidget window;
    window.resize(100, 40);
    window.setAutoFillBackground(true);
    QPalette palette = window.palette();
    palette.setColor(QPalette::Window, QColor(0x20, 0x40, 0x60));
    window.setPalette(palette);
    TransparentLabel label(&window);
    label.setGeometry(10, 10, 80, 14);
    label.setText("Version");
    EXPECT_FALSE(label.isAttached());
    EXPECT_EQ(countColour(render(window), 0x204060), 100 * 40);
}

TEST(TransparentLabel, TextIsDrawnInItsOwnColourWithoutSmoothing) {
    QWidget window;
    window.resize(600, 421);
    TransparentLabel label(&window);
    label.setGeometry(50, 50, 120, 14);
    label.attachBackground(&window, flatPicture(0xFFFFFF));
    label.setText("While Updating...");
    const QImage image = render(label);
    const int text = countColour(image, kTextColour);
    EXPECT_GT(text, 30);
    // Every pixel is either the picture or the text: no blended edge pixels.
    EXPECT_EQ(text + countColour(image, 0xFFFFFF), 120 * 14);
}

// A failure text longer than the status line must still be readable as a whole: the line ends
// in an ellipsis and the label's tooltip holds the whole text; a text that fits has no tooltip.
TEST(TransparentLabel, LongTextEndsInAnEllipsisWithTheWholeTextAsTooltip) {
    struct Case {
        std::string text;
        bool fits;
    } cases[] = {
        {"While Updating...", true},
        {"Make PAK Failed. Please Don't edit PAK file and update try again", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        QWidget window;
        window.resize(600, 421);
        TransparentLabel status(&window);
        TransparentLabel wide(&window);
        status.setGeometry(0, 0, 197, 14);  // the launcher's status line
        wide.setGeometry(0, 100, 590, 14);
        status.attachBackground(&window, flatPicture(0xFFFFFF));
        wide.attachBackground(&window, flatPicture(0xFFFFFF));
        status.setText(c.text);
        wide.setText(c.text);
        const QString expectedTip = c.fits ? QString() : QString::fromStdString(c.text);
        EXPECT_TRUE(QTest::qWaitFor([&] { return status.toolTip() == expectedTip; }));
        const QImage shown = render(status);
        const QImage whole = render(wide).copy(0, 0, 197, 14);
        // The start of the line is the same; a long line is not merely cut at the edge.
        EXPECT_EQ(shown.copy(0, 0, 60, 14), whole.copy(0, 0, 60, 14));
        EXPECT_EQ(shown == whole, c.fits);
    }
}

TEST(TransparentLabel, AttachingClearsTheTextAndATextEndsAtItsFirstZeroByte) {
    QWidget window;
    TransparentLabel label(&window);
    label.resize(50, 12);
    label.setText("before");
    label.attachBackground(&window, flatPicture(0xFFFFFF));
    EXPECT_EQ(label.text(), "");
    label.setText(std::string("12\0hidden", 9));
    EXPECT_EQ(label.text(), "12");
}

TEST(TransparentLabel, TextSetOnAnotherThreadIsPaintedOnTheGuiThread) {
    QWidget window;
    window.resize(200, 50);
    TransparentLabel label(&window);
    label.setGeometry(10, 10, 100, 14);
    label.attachBackground(&window, flatPicture(0xFFFFFF));
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

    struct PaintWatcher : QObject {
        std::atomic<int> paints{0};
        std::atomic<bool> offThread{false};
        bool eventFilter(QObject*, QEvent* event) override {
            if (event->type() == QEvent::Paint) {
                ++paints;
                if (QThread::currentThread() != qApp->thread()) offThread = true;
            }
            return false;
        }
    } watcher;
    label.installEventFilter(&watcher);
    const int before = watcher.paints;
    std::thread worker([&] { label.setText("[Now/Total]"); });
    worker.join();
    EXPECT_TRUE(QTest::qWaitFor([&] { return watcher.paints > before; }, 5000));
    EXPECT_FALSE(watcher.offThread);
    label.removeEventFilter(&watcher);
}

TEST(TransparentLabel, TextsFromManyThreadsAreNeverShownTorn) {
    const std::vector<std::string> texts = {
        "a",
        "While Updating...",
        "Completed Update File",
        "QuorlanPlus/map/field_01.zip",
        "12/345",
        "한글 파일 이름",
        // Long texts of one length are rewritten in place, where a copy racing a write would mix them.
        std::string(4000, 'W'),
        std::string(4000, 'i'),
    };
    QWidget window;
    window.resize(600, 421);
    TransparentLabel label(&window);
    label.setGeometry(20, 20, 300, 14);
    label.attachBackground(&window, flatPicture(0xE0D0B0));

    // What each whole text looks like; anything else on screen would be a torn text.
    std::vector<QImage> pictures;
    for (const std::string& text : texts) {
        label.setText(text);
        pictures.push_back(render(label));
    }
    const std::set<std::string> known(texts.begin(), texts.end());

    // The writers keep going until the GUI thread has painted many times while they write.
    std::atomic<bool> stop{false};
    std::atomic<long> written{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < 8; ++t) {
        writers.emplace_back([&, t] {
            for (std::size_t i = t; !stop || i < 20000; ++i) {
                label.setText(texts[i % texts.size()]);
                ++written;
            }
        });
    }
    for (int checks = 0; checks < 300; ++checks) {
        QCoreApplication::processEvents();
        const std::string read = label.text();
        const QImage shown = render(label);
        bool whole = false;
        for (const QImage& picture : pictures) whole = whole || picture == shown;
        if (!known.count(read) || !whole) {
            stop = true;
            for (auto& writer : writers) writer.join();
            FAIL() << (whole ? "torn text read back" : "a painted text matched none of the texts set");
        }
    }
    stop = true;
    for (auto& writer : writers) writer.join();
    EXPECT_GE(written, 8 * 20000);
    QCoreApplication::processEvents();
    EXPECT_TRUE(known.count(label.text()));
}

}  // namespace
}  // namespace nimbrel
