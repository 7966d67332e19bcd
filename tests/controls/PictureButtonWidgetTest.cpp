// The picture button must show the right image of its strip in every state, click exactly like a
// push button, and share its skin picture with the other buttons.
#include <gtest/gtest.h>

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <string>

#include "controls/PictureButton.h"
#include "controls/SkinPictureStore.h"
#include "tests/controls/ControlsTestSupport.h"

namespace nimbrel {
namespace {

using State = PictureButton::State;
using testing::decodeCoordinate;
using testing::rgbAt;

QImage render(QWidget& widget) {
    QImage image(widget.size(), QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    widget.render(&image);
    return image;
}

// Skin pictures live in a throwaway folder that is the current folder, as the game folder is for
// the launcher, so the buttons name them relative to it.
class PictureButtonTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder_ = new QTemporaryDir;
        ASSERT_TRUE(folder_->isValid());
        previous_ = new QString(QDir::currentPath());
        QDir::setCurrent(folder_->path());
        ASSERT_TRUE(testing::coordinatePicture(320, 240).save("coordinates.png"));
        // One flat colour per state image of a 20 x 10 button strip at (0, 0).
        QImage states(20, 4 * 11, QImage::Format_RGB32);
        states.fill(Qt::black);
        for (int i = 0; i < 4; ++i) {
            for (int y = 0; y < 10; ++y)
                for (int x = 0; x < 20; ++x) states.setPixel(x, i * 11 + y, kStateColours[i]);
        }
        ASSERT_TRUE(states.save("states.png"));
    }
    static void TearDownTestSuite() {
        QDir::setCurrent(*previous_);
        delete previous_;
        delete folder_;
    }

    static State shownState(PictureButton& button) {
        const QRgb colour = rgbAt(render(button), 5, 5);
        for (int i = 0; i < 4; ++i)
            if (colour == kStateColours[i]) return static_cast<State>(i);
        ADD_FAILURE() << "no state image drawn, colour " << std::hex << colour;
        return State::Normal;
    }

    static constexpr QRgb kStateColours[4] = {0x102030, 0x40A040, 0xC03020, 0x808080};
    static inline QTemporaryDir* folder_ = nullptr;
    static inline QString* previous_ = nullptr;
};

TEST_F(PictureButtonTest, LauncherButtonsCopyEachStateFromTheirColumnOfTheStrip) {
    struct Button {
        const char* name;
        int width, height, x, y;
    };
    const Button buttons[] = {{"Start", 116, 51, 56, 1},
                              {"Config", 54, 51, 1, 1},
                              {"Join", 39, 11, 213, 1},
                              {"HomePage", 39, 11, 173, 1},
                              {"X", 24, 11, 254, 1}};
    for (const Button& b : buttons) {
        SCOPED_TRACE(b.name);
        PictureButton button;
        button.resize(b.width, b.height);
        button.setSkin("coordinates.png", b.x, b.y);
        for (int i = 0; i < 4; ++i) {
            const State state = static_cast<State>(i);
            // Images of the button's size, one below the other, one pixel row apart.
            const QPoint origin(b.x, b.y + i * (b.height + 1));
            EXPECT_EQ(button.sourceRect(state), QRect(origin, QSize(b.width, b.height))) << i;

            PictureButton shown;
            shown.resize(b.width, b.height);
            shown.setSkin("coordinates.png", b.x, b.y);
            if (state == State::MouseOver) testing::move(shown, {1, 1});
            if (state == State::Pressed) testing::press(shown, {1, 1});
            if (state == State::Disabled) shown.setEnabled(false);
            ASSERT_EQ(shown.currentState(), state);
            const QImage image = render(shown);
            EXPECT_EQ(decodeCoordinate(rgbAt(image, 0, 0)), origin) << "state " << i;
            EXPECT_EQ(decodeCoordinate(rgbAt(image, b.width - 1, b.height - 1)),
                      origin + QPoint(b.width - 1, b.height - 1))
                << "state " << i;
        }
    }
}

TEST_F(PictureButtonTest, StatesFollowTheMouseWithDisabledThenPressedThenHoverPrecedence) {
    struct Step {
        const char* what;
        void (*act)(PictureButton&);
        State shown;
    };
    const Step steps[] = {
        {"nothing yet", [](PictureButton&) {}, State::Normal},
        {"mouse enters",
         [](PictureButton& b) {
             testing::move(b, {5, 5});
         },
         State::MouseOver},
        {"moves within",
         [](PictureButton& b) {
             testing::move(b, {6, 6});
         },
         State::MouseOver},
        {"first move outside",
         [](PictureButton& b) {
             testing::move(b, {40, 5});
         },
         State::Normal},
        {"back over it",
         [](PictureButton& b) {
             testing::move(b, {5, 5});
         },
         State::MouseOver},
        {"leaves the window", [](PictureButton& b) { testing::leave(b); }, State::Normal},
        {"pressed",
         [](PictureButton& b) {
             testing::press(b, {5, 5});
         },
         State::Pressed},
        {"dragged off",
         [](PictureButton& b) {
             testing::move(b, {40, 5}, Qt::LeftButton);
         },
         State::Pressed},
        {"leave while pressed", [](PictureButton& b) { testing::leave(b); }, State::Pressed},
        {"released off",
         [](PictureButton& b) {
             testing::release(b, {40, 5});
         },
         State::Normal},
        {"pressed again",
         [](PictureButton& b) {
             testing::press(b, {5, 5});
         },
         State::Pressed},
        {"released over",
         [](PictureButton& b) {
             testing::release(b, {5, 5});
         },
         State::MouseOver},
        {"disabled under the mouse", [](PictureButton& b) { b.setEnabled(false); }, State::Disabled},
        {"enabled again", [](PictureButton& b) { b.setEnabled(true); }, State::Normal},
    };
    PictureButton button;
    button.resize(20, 10);
    button.setSkin("states.png", 0, 0);
    for (const Step& step : steps) {
        step.act(button);
        EXPECT_EQ(button.currentState(), step.shown) << step.what;
        EXPECT_EQ(shownState(button), step.shown) << step.what;
    }
}

// The same tracking through the window system's own event path: entering, leaving and clicking a
// button inside a shown window.
TEST_F(PictureButtonTest, PointerInAShownWindowDrivesTheStates) {
    QWidget window;
    window.resize(100, 40);
    PictureButton button(&window);
    button.setGeometry(10, 10, 20, 10);
    button.setSkin("states.png", 0, 0);
    QSignalSpy clicked(&button, &QAbstractButton::clicked);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

    QTest::mouseMove(&window, QPoint(60, 30));
    QTest::mouseMove(&window, QPoint(15, 15));
    EXPECT_TRUE(QTest::qWaitFor([&] { return button.currentState() == State::MouseOver; }, 2000));
    QTest::mouseMove(&window, QPoint(60, 30));
    EXPECT_TRUE(QTest::qWaitFor([&] { return button.currentState() == State::Normal; }, 2000));

    QTest::mouseClick(&button, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    EXPECT_EQ(clicked.count(), 1);
    EXPECT_NE(button.currentState(), State::Pressed);
}

TEST_F(PictureButtonTest, ClickCountsFollowPushButtonRules) {
    struct Case {
        const char* what;
        void (*gesture)(PictureButton&);
        int clicks;
    };
    const Case cases[] = {
        {"single click",
         [](PictureButton& b) {
             testing::press(b, {5, 5}), testing::release(b, {5, 5});
         },
         1},
        // What the window system delivers for a double click: the second press comes with it.
        {"double click with second press",
         [](PictureButton& b) {
             testing::press(b, {5, 5}), testing::release(b, {5, 5});
             testing::press(b, {5, 5}), testing::doubleClick(b, {5, 5}), testing::release(b, {5, 5});
         },
         2},
        // The double click event alone must still act as the second press.
        {"double click event only",
         [](PictureButton& b) {
             testing::press(b, {5, 5}), testing::release(b, {5, 5});
             testing::doubleClick(b, {5, 5}), testing::release(b, {5, 5});
         },
         2},
        {"released off the button",
         [](PictureButton& b) {
             testing::press(b, {5, 5}), testing::move(b, {40, 5}, Qt::LeftButton), testing::release(b, {40, 5});
         },
         0},
    };
    for (const Case& c : cases) {
        PictureButton button;
        button.resize(20, 10);
        button.setSkin("states.png", 0, 0);
        QSignalSpy clicked(&button, &QAbstractButton::clicked);
        c.gesture(button);
        EXPECT_EQ(clicked.count(), c.clicks) << c.what;
        EXPECT_NE(button.currentState(), State::Pressed) << c.what;
    }
}

// A player moving through the buttons with Tab must see where the focus is: a rectangle of
// single pixels a few pixels inside the edge, alternating between dark brown and cream on the
// pixel grid so that one of them shows on any face. Drawn here pixel by pixel as the reference.
TEST_F(PictureButtonTest, FocusedButtonShowsADottedMarkInsideItsEdge) {
    struct Case {
        const char* name;
        int width, height, inset;
    } cases[] = {{"Start", 116, 51, 5}, {"X", 24, 11, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QWidget window;
        window.resize(200, 100);
        PictureButton button(&window);
        button.resize(c.width, c.height);
        button.setSkin("coordinates.png", 0, 0);
        window.show();
        window.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
        button.clearFocus();  // the window gave it the focus on activation
        const QImage picture = testing::coordinatePicture(c.width, c.height);
        EXPECT_EQ(render(button).convertToFormat(QImage::Format_RGB32), picture) << "no mark without the focus";

        button.setFocus();
        ASSERT_TRUE(button.hasFocus());
        QImage expected = picture;
        const int left = c.inset, top = c.inset, right = c.width - 1 - c.inset, bottom = c.height - 1 - c.inset;
        for (int y = top; y <= bottom; ++y) {
            for (int x = left; x <= right; ++x) {
                if (x == left || x == right || y == top || y == bottom)
                    expected.setPixel(x, y, (x + y) % 2 == 0 ? 0xFFFFF6E0u : 0xFF4A2300u);
            }
        }
        EXPECT_EQ(render(button).convertToFormat(QImage::Format_RGB32), expected);
    }
}

// One picture serves two meanings of a button (Start and Retry): with a caption, the picture's
// own lettering is cleared to the face's colour and the caption is drawn in that lettering's
// colour; the edge of the picture stays as it is.
TEST_F(PictureButtonTest, CaptionReplacesThePicturesLettering) {
    constexpr QRgb kFace = 0xE8A13C, kLettering = 0xFFF6E0, kEdge = 0x4A2300;
    QImage picture(60, 4 * 31, QImage::Format_RGB32);
    picture.fill(kEdge);
    for (int y = 1; y < 29; ++y)
        for (int x = 1; x < 59; ++x)
            picture.setPixel(x, y, x >= 40 && x < 56 && y >= 12 && y < 18 ? kLettering : kFace);
    ASSERT_TRUE(picture.save("lettered.png"));
    PictureButton button;
    button.resize(60, 30);
    button.setSkin("lettered.png", 0, 0);
    button.setCaption("I");
    const QImage shown = render(button);
    int caption = 0;
    for (int y = 0; y < 30; ++y) {
        for (int x = 0; x < 60; ++x) {
            if (x == 0 || y == 0 || x == 59 || y == 29) {
                EXPECT_EQ(rgbAt(shown, x, y), kEdge) << x << "," << y;
            }
            if (x >= 40) {
                EXPECT_NE(rgbAt(shown, x, y), kLettering) << "old lettering at " << x << "," << y;
            }
            caption += x > 20 && x < 40 && rgbAt(shown, x, y) == kLettering;
        }
    }
    EXPECT_GT(caption, 10) << "the caption in the lettering's colour, in the middle";
}

TEST_F(PictureButtonTest, PictureThatFailsToLoadKeepsAnIndexAndDrawsNothing) {
    SkinPictureStore& store = SkinPictureStore::instance();
    const int index = store.findOrLoad("missing-skin.jpg");
    ASSERT_GE(index, 0);
    EXPECT_FALSE(store.isLoaded(index));
    EXPECT_EQ(store.findOrLoad("missing-skin.jpg"), index);

    QWidget window;
    window.resize(60, 30);
    window.setAutoFillBackground(true);
    QPalette palette = window.palette();
    palette.setColor(QPalette::Window, QColor(0x12, 0x34, 0x56));
    window.setPalette(palette);
    PictureButton button(&window);
    button.setGeometry(10, 10, 20, 10);
    button.setSkin("missing-skin.jpg", 0, 0);
    EXPECT_EQ(button.pictureIndex(), index);

    const QImage image = render(window);
    for (int y = 10; y < 20; ++y)
        for (int x = 10; x < 30; ++x) ASSERT_EQ(rgbAt(image, x, y), 0x123456u) << x << ", " << y;
}

TEST_F(PictureButtonTest, ButtonsNamingOnePictureShareItAndNamesAreExact) {
    SkinPictureStore& store = SkinPictureStore::instance();
    PictureButton first;
    PictureButton second;
    first.resize(20, 10);
    second.resize(20, 10);
    first.setSkin("states.png", 0, 0);
    const std::size_t loaded = store.count();
    second.setSkin("states.png", 0, 0);
    EXPECT_EQ(second.pictureIndex(), first.pictureIndex());
    EXPECT_EQ(store.count(), loaded);
    EXPECT_TRUE(store.isLoaded(first.pictureIndex()));

    // Another spelling is another entry, even where the file system would find the same file.
    EXPECT_NE(store.findOrLoad("./states.png"), first.pictureIndex());
    EXPECT_NE(store.findOrLoad("STATES.png"), first.pictureIndex());
    EXPECT_EQ(store.count(), loaded + 2);
}

TEST_F(PictureButtonTest, PressedAndMouseOverImagesWriteTheirDebugLines) {
    PictureButton button;
    button.resize(20, 10);
    button.setSkin("states.png", 0, 0);
    const struct {
        void (*act)(PictureButton&);
        const char* line;
    } cases[] = {
        {[](PictureButton&) {}, ""},
        {[](PictureButton& b) {
             testing::move(b, {5, 5});
         },
         "MouseOver\n"},
        {[](PictureButton& b) {
             testing::press(b, {5, 5});
         },
         "Down\n"},
    };
    for (const auto& c : cases) {
        c.act(button);
        ::testing::internal::CaptureStderr();
        render(button);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.line);
    }
}

}  // namespace
}  // namespace nimbrel

// Debug lines are only written when asked for, and the choice is made once per process.
static const bool kDebugOutputOn = (setenv("NIMBREL_DEBUG", "1", 1), true);
