// The progress bar must look exactly as designed at every position: its pieces of pixel art, the
// frame, and where the head lands for a percentage.
#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "controls/CProgress_Blue.h"
#include "tests/controls/ControlsTestSupport.h"

namespace nimbrel {
namespace {

using testing::rgbAt;

// The launcher's bar: 301 x 16 with the range 0..100.
constexpr int kWidth = 301;
constexpr int kHeight = 16;
constexpr int kInnerRight = kWidth - 4;  // last column of the frame before the right end piece

constexpr QRgb kGradient[10] = {0xFFDBD4, 0xFFA698, 0xFEB4A7, 0xFF9889, 0xFF6855,
                                0xFE3A24, 0xE72519, 0xB02715, 0xAC2013, 0xBB0909};

constexpr QRgb kStartCap[10][4] = {
    {0x845B45, 0xDAAAA0, 0xF7D1CE, 0xFFDBD4}, {0xDA9F97, 0xFF8671, 0xFF6E57, 0xFF8671},
    {0xFEB4A7, 0xFE684F, 0xFE6651, 0xFEB4A7}, {0xFF9889, 0xFF6148, 0xFF604A, 0xFF9889},
    {0xFF6855, 0xFF4E38, 0xFF4F38, 0xFF6855}, {0xFE3A24, 0xFE3A24, 0xFE3A24, 0xFE3A24},
    {0xE72519, 0xE72519, 0xE72519, 0xE72519}, {0xEE130D, 0xEB150A, 0xE2190F, 0xC32011},
    {0xA60402, 0xE20401, 0xDA0402, 0xC71209}, {0xBB0909, 0x8E0203, 0x8C0605, 0x8C0605},
};
constexpr QRgb kHeadCap[10][5] = {
    {0xFFDBD4, 0xFFDBD4, 0xF5C0B9, 0xA45C50, 0x000000}, {0xFD8169, 0xFF6A52, 0xFF7D65, 0xFEAFA2, 0xD6583F},
    {0xFEB4A7, 0xFF6753, 0xFF6753, 0xFEB4A7, 0xFF654F}, {0xFF9889, 0xFF5F47, 0xFE6249, 0xFF9889, 0xFF5D4A},
    {0xFF6855, 0xFF4E3C, 0xFE4F3A, 0xFF6855, 0xFF503D}, {0xFE3A24, 0xFE3A24, 0xFE3A24, 0xFE3A24, 0xFE3A24},
    {0xE72519, 0xE72519, 0xE72519, 0xE72519, 0xE72519}, {0xDE1910, 0xED120E, 0xED120E, 0xED120E, 0xED120E},
    {0xD30802, 0xDF0100, 0xE20202, 0xE00200, 0xBE0000}, {0xBB0909, 0xBB0909, 0xBB0909, 0x730005, 0x000000},
};
constexpr QRgb kLeftEnd[16][3] = {
    {0xEE741B, 0xEE741B, 0xEE741B}, {0xEE741B, 0xEE741B, 0xEE741B}, {0xEE741B, 0xEE741B, 0x7B3E12},
    {0xF08229, 0x914B1A, 0x7E3C08}, {0xF08229, 0x7E3C08, 0x7E3C08}, {0xF08229, 0x7E3C08, 0x7E3C08},
    {0xF08229, 0x7E3C08, 0x7E3C08}, {0xF08229, 0x7E3C08, 0x7E3C08}, {0xF08229, 0x7E3C08, 0x7E3C08},
    {0xF08229, 0x7E3C08, 0x7E3C08}, {0xF08229, 0x7E3C08, 0x7E3C08}, {0xF08229, 0x7E3C08, 0x7E3C08},
    {0xF08229, 0x914B1A, 0x7E3C08}, {0xF08229, 0xF28E40, 0x834A1F}, {0xEB7511, 0xF28735, 0xF49447},
    {0xEF730F, 0xEF7414, 0xEF8227},
};
constexpr QRgb kRightEnd[16][3] = {
    {0xF2842F, 0xED7514, 0xED7514}, {0xF39B5B, 0xEE9143, 0xF07A1A}, {0x91582B, 0xE49656, 0xF08F40},
    {0x7F4017, 0xF2944C, 0xF39D54}, {0x7E3C08, 0x824E26, 0xF39D54}, {0x7E3C08, 0x864819, 0xF39D54},
    {0x7E3C08, 0x864819, 0xF39D54}, {0x7E3C08, 0x864819, 0xF39D54}, {0x7E3C08, 0x864819, 0xF39D54},
    {0x7E3C08, 0x864819, 0xF39D54}, {0x7E3C08, 0x864819, 0xF39D54}, {0x7E3C08, 0x824E26, 0xF39D54},
    {0x7F4017, 0xF2944C, 0xF39D54}, {0x91582B, 0xE49656, 0xF08F40}, {0xF39B5B, 0xEE9143, 0xF07A1A},
    {0xF2842F, 0xED7514, 0xED7514},
};

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
        bar.SetRange(0, 100);
    }
    QImage at(unsigned percent) {
        bar.SetPos(percent);
        return render(bar);
    }
    CProgress_Blue bar;
};

template <int Rows, int Columns>
void expectPiece(const QImage& image, const QRgb (&piece)[Rows][Columns], int left, int top, const char* what) {
    for (int y = 0; y < Rows; ++y) {
        for (int x = 0; x < Columns; ++x) {
            if (left + x < 0 || left + x >= image.width()) continue;
            EXPECT_EQ(rgbAt(image, left + x, top + y), piece[y][x]) << what << " pixel (" << x << ", " << y << ")";
        }
    }
}

void expectInsideRun(const QImage& image, int fromX, int toX, bool filled, const char* what) {
    for (int i = 0; i < 10; ++i) {
        for (int x = fromX; x <= toX; ++x) {
            const QRgb expected = filled ? kGradient[i] : 0x000000;
            if (rgbAt(image, x, 3 + i) != expected) {
                ADD_FAILURE() << what << ": pixel (" << x << ", " << 3 + i << ") is " << std::hex
                              << rgbAt(image, x, 3 + i) << ", expected " << expected;
                return;
            }
        }
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
        CProgress_Blue bar;
        bar.resize(kWidth, kHeight);
        bar.SetRange(0, c.upper);
        bar.SetPos(c.value);
        EXPECT_EQ(bar.headPosition(), c.head) << c.value << " of " << c.upper;
    }
}

TEST_F(ProgressBarPicture, EndPiecesAreExactAtEveryPosition) {
    for (unsigned percent : {0u, 50u, 100u}) {
        SCOPED_TRACE(percent);
        const QImage image = at(percent);
        expectPiece(image, kLeftEnd, 0, 0, "left end");
        expectPiece(image, kRightEnd, kWidth - 3, 0, "right end");
    }
}

TEST_F(ProgressBarPicture, StartCapShowsInsideTheLeftEndWithItsTwoCornerPixels) {
    for (unsigned percent : {0u, 50u, 100u}) {
        SCOPED_TRACE(percent);
        const QImage image = at(percent);
        QRgb cap[10][4];
        for (int y = 0; y < 10; ++y)
            for (int x = 0; x < 4; ++x) cap[y][x] = kStartCap[y][x];
        cap[0][0] = 0x814926;  // the frame's corner pixels are set over the cap
        cap[9][0] = 0x6D2B09;
        expectPiece(image, cap, 3, 3, "start cap");
    }
}

TEST_F(ProgressBarPicture, HeadCapEndsTheFillAtTheHead) {
    const QImage image = at(50);
    expectPiece(image, kHeadCap, 155 - 8, 3, "head cap");
    expectInsideRun(image, 7, 155 - 9, true, "fill before the head");
    expectInsideRun(image, 155 - 3, kInnerRight - 1, false, "inside after the head");
}

TEST_F(ProgressBarPicture, FrameRowsAndCornerPixelsAreExact) {
    struct Corner {
        int row;
        QRgb left, right;
    };
    const Corner corners[] = {{0, 0xED7618, 0xF39146},  {1, 0x964D16, 0xAD6D3F},  {2, 0x7D3B07, 0x91582B},
                              {13, 0x7B3C09, 0x7C3D08}, {14, 0x7C3D0A, 0xAC6F42}, {15, 0xF18C3C, 0xF39146}};
    for (unsigned percent : {0u, 50u, 100u}) {
        SCOPED_TRACE(percent);
        const QImage image = at(percent);
        for (int x = 4; x < kInnerRight; ++x) {
            ASSERT_EQ(rgbAt(image, x, 0), 0xF1842Fu) << x;
            ASSERT_EQ(rgbAt(image, x, 15), 0xF1842Fu) << x;
            for (int y : {1, 2, 13, 14}) ASSERT_EQ(rgbAt(image, x, y), 0x7E3C08u) << x << ", " << y;
        }
        for (const Corner& corner : corners) {
            EXPECT_EQ(rgbAt(image, 3, corner.row), corner.left) << "row " << corner.row;
            EXPECT_EQ(rgbAt(image, kInnerRight, corner.row), corner.right) << "row " << corner.row;
        }
        // Before the right end the two corner pixels survive even a fill running beneath them.
        EXPECT_EQ(rgbAt(image, kInnerRight, 3), 0x994517u);
        EXPECT_EQ(rgbAt(image, kInnerRight, 12), 0x8F2F07u);
    }
}

TEST_F(ProgressBarPicture, AtZeroOnlyTheStartCapShowsInside) {
    const QImage image = at(0);
    expectInsideRun(image, 7, kInnerRight - 1, false, "inside");
    for (int y = 4; y < 12; ++y) EXPECT_EQ(rgbAt(image, kInnerRight, y), 0x000000u) << y;
}

TEST_F(ProgressBarPicture, FullBarFillsUnderTheRightEnd) {
    const QImage image = at(100);
    expectInsideRun(image, 7, kInnerRight - 1, true, "inside");
    for (int i = 1; i < 9; ++i) EXPECT_EQ(rgbAt(image, kInnerRight, 3 + i), kGradient[i]) << i;
}

TEST_F(ProgressBarPicture, ValueAboveTheRangeDrawsTheFullBar) {
    const QImage full = at(100);
    EXPECT_EQ(at(150), full);
    EXPECT_EQ(at(UINT_MAX), full);
}

TEST_F(ProgressBarPicture, NoRangeAndNoPositionShowNoFill) {
    const QImage untouched = render(bar);
    EXPECT_EQ(bar.headPosition(), 0u);
    expectInsideRun(untouched, 4, kInnerRight - 1, false, "before the first position");
    EXPECT_EQ(rgbAt(untouched, 3, 3), 0x814926u);

    bar.SetRange(0, 0);
    for (unsigned value : {0u, 50u, 100u}) EXPECT_EQ(at(value), untouched) << value;
}

}  // namespace
}  // namespace nimbrel
