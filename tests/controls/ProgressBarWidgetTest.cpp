// The progress bar must look exactly as designed at every position: the drawn bar against
// reference pictures of a known-good build, and where the head lands for a percentage.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "controls/SkinnedProgressBar.h"
#include "tests/controls/ControlsTestSupport.h"

namespace nimbrel {
namespace {

using testing::rgbAt;

// The launcher's bar: 301 x 16 with the range 0..100.
constexpr int kWidth = 301;
constexpr int kHeight = 16;

QImage render(QWidget& widget) {
    QImage image(widget.size(), QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    widget.render(&image);
    return image;
}

class ProgressBarPicture : public ::testing::Test {
protected:
    ProgressBarPicture() {
        bar.resize(kWidth, kHeight);
        bar.setRange(0, 100);
    }
    QImage at(unsigned percent) {
        bar.setValue(percent);
        return render(bar);
    }
    SkinnedProgressBar bar;
};

// The bar as a known-good build drew it, made once and kept under tests/data/progress-bar/: its
// pieces of pixel art, the frame, and where the fill ends.
QImage reference(const char* name) {
    return QImage(QString(NIMBREL_TEST_DATA_DIR "/progress-bar/bar-%1.png").arg(name))
        .convertToFormat(QImage::Format_RGB32);
}

// Fails at the first pixel that differs, naming it: a whole-image mismatch tells nothing.
void expectPicture(const QImage& drawn, const QImage& expected, const char* what) {
    ASSERT_FALSE(expected.isNull()) << what << ": reference picture missing";
    ASSERT_EQ(drawn.size(), expected.size()) << what;
    for (int y = 0; y < expected.height(); ++y)
        for (int x = 0; x < expected.width(); ++x)
            if (rgbAt(drawn, x, y) != rgbAt(expected, x, y)) {
                ADD_FAILURE() << what << ": pixel (" << x << ", " << y << ") is " << std::hex << rgbAt(drawn, x, y)
                              << ", expected " << rgbAt(expected, x, y);
                return;
            }
}

TEST(ProgressBarHead, LandsWhereTheSinglePrecisionFormulaPutsIt) {
    struct Case {
        unsigned upper, value, head;
    };
    const Case cases[] = {
        {100, 0, 5},
        {100, 50, 155},
        {100, 100, 306},
        {100, 150, 456},
        // The quotient is rounded to float before scaling: exact arithmetic would give 10 and 57.
        {301, 5, 9},
        {301, 53, 58},
        {0, 50, 0},
        {0, 0, 0},                // no range: a head that shows no fill
        {1, UINT_MAX, UINT_MAX},  // far beyond the bar: clamped, not an overflowing conversion
    };
    for (const Case& c : cases) {
        SkinnedProgressBar bar;
        bar.resize(kWidth, kHeight);
        bar.setRange(0, c.upper);
        bar.setValue(c.value);
        EXPECT_EQ(bar.headPosition(), c.head) << c.value << " of " << c.upper;
    }
}

TEST_F(ProgressBarPicture, DrawnBarMatchesTheReferencePictures) {
    for (const char* percent : {"0", "1", "50", "99", "100"})
        expectPicture(at(static_cast<unsigned>(std::stoul(percent))), reference(percent), percent);
}

TEST_F(ProgressBarPicture, ValueAboveTheRangeDrawsTheFullBar) {
    const QImage full = at(100);
    EXPECT_EQ(at(150), full);
    EXPECT_EQ(at(UINT_MAX), full);
}

TEST_F(ProgressBarPicture, NoRangeAndNoPositionShowNoFill) {
    const QImage untouched = render(bar);
    EXPECT_EQ(bar.headPosition(), 0u);
    expectPicture(untouched, reference("untouched"), "before the first position");

    bar.setRange(0, 0);
    for (unsigned value : {0u, 50u, 100u}) EXPECT_EQ(at(value), untouched) << value;
}

}  // namespace
}  // namespace nimbrel
