#include "controls/SkinnedProgressBar.h"

#include <QPainter>
#include <algorithm>
#include <climits>
#include <cstdint>

namespace nimbrel {

namespace {

using Rgb = std::uint32_t;  // 0xRRGGBB

// Row i of the fill, top to bottom.
constexpr Rgb kGradient[10] = {0xFFDBD4, 0xFFA698, 0xFEB4A7, 0xFF9889, 0xFF6855,
                               0xFE3A24, 0xE72519, 0xB02715, 0xAC2013, 0xBB0909};
constexpr Rgb kFrameA = 0x7E3C08;
constexpr Rgb kFrameB = 0xF1842F;

constexpr Rgb kStartCap[10][4] = {
    {0x845B45, 0xDAAAA0, 0xF7D1CE, 0xFFDBD4}, {0xDA9F97, 0xFF8671, 0xFF6E57, 0xFF8671},
    {0xFEB4A7, 0xFE684F, 0xFE6651, 0xFEB4A7}, {0xFF9889, 0xFF6148, 0xFF604A, 0xFF9889},
    {0xFF6855, 0xFF4E38, 0xFF4F38, 0xFF6855}, {0xFE3A24, 0xFE3A24, 0xFE3A24, 0xFE3A24},
    {0xE72519, 0xE72519, 0xE72519, 0xE72519}, {0xEE130D, 0xEB150A, 0xE2190F, 0xC32011},
    {0xA60402, 0xE20401, 0xDA0402, 0xC71209}, {0xBB0909, 0x8E0203, 0x8C0605, 0x8C0605},
};

constexpr Rgb kHeadCap[10][5] = {
    {0xFFDBD4, 0xFFDBD4, 0xF5C0B9, 0xA45C50, 0x000000}, {0xFD8169, 0xFF6A52, 0xFF7D65, 0xFEAFA2, 0xD6583F},
    {0xFEB4A7, 0xFF6753, 0xFF6753, 0xFEB4A7, 0xFF654F}, {0xFF9889, 0xFF5F47, 0xFE6249, 0xFF9889, 0xFF5D4A},
    {0xFF6855, 0xFF4E3C, 0xFE4F3A, 0xFF6855, 0xFF503D}, {0xFE3A24, 0xFE3A24, 0xFE3A24, 0xFE3A24, 0xFE3A24},
    {0xE72519, 0xE72519, 0xE72519, 0xE72519, 0xE72519}, {0xDE1910, 0xED120E, 0xED120E, 0xED120E, 0xED120E},
    {0xD30802, 0xDF0100, 0xE20202, 0xE00200, 0xBE0000}, {0xBB0909, 0xBB0909, 0xBB0909, 0x730005, 0x000000},
};

constexpr Rgb kLeftEnd[16][3] = {
    {0xEE741B, 0xEE741B, 0xEE741B}, {0xEE741B, 0xEE741B, 0xEE741B}, {0xEE741B, 0xEE741B, 0x7B3E12},
    {0xF08229, 0x914B1A, 0x7E3C08}, {0xF08229, 0x7E3C08, 0x7E3C08}, {0xF08229, 0x7E3C08, 0x7E3C08},
    {0xF08229, 0x7E3C08, 0x7E3C08}, {0xF08229, 0x7E3C08, 0x7E3C08}, {0xF08229, 0x7E3C08, 0x7E3C08},
    {0xF08229, 0x7E3C08, 0x7E3C08}, {0xF08229, 0x7E3C08, 0x7E3C08}, {0xF08229, 0x7E3C08, 0x7E3C08},
    {0xF08229, 0x914B1A, 0x7E3C08}, {0xF08229, 0xF28E40, 0x834A1F}, {0xEB7511, 0xF28735, 0xF49447},
    {0xEF730F, 0xEF7414, 0xEF8227},
};

constexpr Rgb kRightEnd[16][3] = {
    {0xF2842F, 0xED7514, 0xED7514}, {0xF39B5B, 0xEE9143, 0xF07A1A}, {0x91582B, 0xE49656, 0xF08F40},
    {0x7F4017, 0xF2944C, 0xF39D54}, {0x7E3C08, 0x824E26, 0xF39D54}, {0x7E3C08, 0x864819, 0xF39D54},
    {0x7E3C08, 0x864819, 0xF39D54}, {0x7E3C08, 0x864819, 0xF39D54}, {0x7E3C08, 0x864819, 0xF39D54},
    {0x7E3C08, 0x864819, 0xF39D54}, {0x7E3C08, 0x864819, 0xF39D54}, {0x7E3C08, 0x824E26, 0xF39D54},
    {0x7F4017, 0xF2944C, 0xF39D54}, {0x91582B, 0xE49656, 0xF08F40}, {0xF39B5B, 0xEE9143, 0xF07A1A},
    {0xF2842F, 0xED7514, 0xED7514},
};

// Frame pixels that soften the corners just inside each end piece: row, colour at x = 3, colour at
// x = w - 4.
struct FrameCorner {
    int row;
    Rgb left;
    Rgb right;
};
constexpr FrameCorner kFrameCorners[] = {
    {0, 0xED7618, 0xF39146},  {1, 0x964D16, 0xAD6D3F},  {2, 0x7D3B07, 0x91582B},  {3, 0x814926, 0x994517},
    {12, 0x6D2B09, 0x8F2F07}, {13, 0x7B3C09, 0x7C3D08}, {14, 0x7C3D0A, 0xAC6F42}, {15, 0xF18C3C, 0xF39146},
};

template <int Rows, int Columns>
QImage pixelArt(const Rgb (&table)[Rows][Columns]) {
    QImage image(Columns, Rows, QImage::Format_RGB32);
    for (int y = 0; y < Rows; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < Columns; ++x) line[x] = 0xFF000000u | table[y][x];
    }
    return image;
}

// Pixel writes clipped to the frame, so pieces placed partly outside (the head cap at the low end,
// a head beyond the right edge) lose only their outside part.
class Frame {
public:
    explicit Frame(QSize size) : image_(size, QImage::Format_RGB32) { image_.fill(QColor(0, 0, 0)); }

    void set(int x, int y, Rgb colour) {
        if (x < 0 || y < 0 || x >= image_.width() || y >= image_.height()) return;
        reinterpret_cast<QRgb*>(image_.scanLine(y))[x] = 0xFF000000u | colour;
    }
    // x0..x1 inclusive.
    void row(int y, long long x0, long long x1, Rgb colour) {
        if (y < 0 || y >= image_.height()) return;
        const long long from = std::max<long long>(x0, 0);
        const long long to = std::min<long long>(x1, image_.width() - 1);
        auto* line = reinterpret_cast<QRgb*>(image_.scanLine(y));
        for (long long x = from; x <= to; ++x) line[x] = 0xFF000000u | colour;
    }
    void copy(const QImage& piece, long long left, int top) {
        for (int y = 0; y < piece.height(); ++y) {
            const auto* source = reinterpret_cast<const QRgb*>(piece.constScanLine(y));
            for (int x = 0; x < piece.width(); ++x) {
                const long long tx = left + x;
                if (tx < 0 || tx >= image_.width()) continue;
                set(static_cast<int>(tx), top + y, source[x] & 0xFFFFFFu);
            }
        }
    }
    QImage take() { return std::move(image_); }

private:
    QImage image_;
};

}  // namespace

SkinnedProgressBar::SkinnedProgressBar(QWidget* parent)
    : QWidget(parent),
      // The pixel art is made once here; a paint only composes it.
      startCap_(pixelArt(kStartCap)),
      headCap_(pixelArt(kHeadCap)),
      leftEnd_(pixelArt(kLeftEnd)),
      rightEnd_(pixelArt(kRightEnd)) {
    // Every paint covers the whole bar, so nothing beneath is drawn or erased first.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
}

void SkinnedProgressBar::setRange(unsigned lower, unsigned upper) {
    lower_ = lower;
    upper_ = upper;
}

void SkinnedProgressBar::setValue(unsigned value) {
    if (upper_ == 0) {
        // No range to place the head in; a head below 5 shows no fill at all.
        head_ = 0;
    } else {
        // Single precision on purpose: the quotient is rounded to float before scaling, which decides
        // the pixel the head lands on (50 of 100 on 301 pixels gives 155, not 156).
        const float fraction = static_cast<float>(static_cast<double>(value) / static_cast<double>(upper_));
        const double position = fraction * static_cast<float>(static_cast<unsigned>(width())) + 5.0;
        // A value far above the range would overflow the conversion; anything past the right edge
        // draws the same full bar.
        head_ = position >= static_cast<double>(UINT_MAX) ? UINT_MAX : static_cast<unsigned>(position);
    }
    update();
}

QImage SkinnedProgressBar::composeFrame() const {
    const int w = width();
    Frame frame(size());

    frame.row(0, 3, w - 4, kFrameB);
    frame.row(15, 3, w - 4, kFrameB);
    for (int y : {1, 2, 13, 14}) frame.row(y, 3, w - 4, kFrameA);
    for (const FrameCorner& corner : kFrameCorners) {
        frame.set(3, corner.row, corner.left);
        frame.set(w - 4, corner.row, corner.right);
    }

    const long long p = head_;
    if (p >= 5) {
        for (int i = 0; i < 10; ++i) frame.row(3 + i, 0, p - 6, kGradient[i]);
        frame.copy(startCap_, 3, 3);
        frame.copy(headCap_, p - 8, 3);
    }

    frame.copy(leftEnd_, 0, 0);
    frame.copy(rightEnd_, w - 3, 0);
    frame.set(3, 3, 0x814926);
    frame.set(3, 12, 0x6D2B09);
    if (p >= static_cast<long long>(w) - 4) {
        frame.set(w - 4, 3, 0x994517);
        frame.set(w - 4, 12, 0x8F2F07);
    }
    return frame.take();
}

void SkinnedProgressBar::paintEvent(QPaintEvent*) {
    const QImage frame = composeFrame();
    QPainter painter(this);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.drawImage(QPoint(0, 0), frame);
}

}  // namespace nimbrel
