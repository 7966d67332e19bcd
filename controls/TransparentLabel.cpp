#include "controls/TransparentLabel.h"

#include <QFontMetrics>
#include <QMetaObject>
#include <QPainter>

namespace nimbrel {

namespace {

QFont labelFont() {
    QFont font;
    // The skin leaves the labels room for the 8-point bitmap sans-serif named first; where a
    // machine lacks it the nearest sans-serif stands in, with a Korean-capable face for item names.
    font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
                      QStringLiteral("DejaVu Sans"), QStringLiteral("NanumGothic")});
    font.setStyleHint(QFont::SansSerif, QFont::NoAntialias);
    // A cell height of 11 asked of that bitmap face yields its smallest size, whose glyphs are 11
    // pixels high; smoothing is off because the bitmap face has none and the text must show in its
    // exact colour over any background.
    font.setPixelSize(11);
    font.setWeight(QFont::Normal);
    font.setItalic(false);
    font.setUnderline(false);
    font.setStrikeOut(false);
    return font;
}

}  // namespace

TransparentLabel::TransparentLabel(QWidget* parent) : QWidget(parent) {
    // The label paints its own copy of the picture; until attached it paints nothing and the
    // window beneath shows through.
    setAttribute(Qt::WA_NoSystemBackground);
}

QColor TransparentLabel::textColor() { return QColor(0x63, 0x24, 0x00); }

void TransparentLabel::attachBackground(QWidget* parent, const QImage& picture) {
    attachedTo_ = parent;
    attached_ = parent != nullptr;
    font_ = labelFont();
    {
        std::lock_guard guard(textLock_);
        text_.clear();
    }
    // The picture is laid out in the parent's client coordinates; a parent that is not one of the
    // label's ancestors is reached through screen coordinates.
    QPoint origin = pos();
    if (parent != nullptr && parent != this) {
        origin =
            parent->isAncestorOf(this) ? mapTo(parent, QPoint(0, 0)) : parent->mapFromGlobal(mapToGlobal(QPoint(0, 0)));
    }
    // Taken once: the label keeps showing this area even if it is moved later.
    QImage area(size(), QImage::Format_RGB32);
    area.fill(Qt::black);
    const QRect source = QRect(origin, size()).intersected(picture.rect());
    if (!source.isEmpty()) {
        QPainter painter(&area);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.drawImage(source.topLeft() - origin, picture, source);
    }
    background_ = std::move(area);
    updateOpaqueness();
    update();
}

void TransparentLabel::resizeEvent(QResizeEvent* event) {
    updateOpaqueness();
    refresh();
    QWidget::resizeEvent(event);
}

void TransparentLabel::updateOpaqueness() {
    // Only a background covering the whole label lets Qt skip what lies beneath; a label grown
    // after attaching shows the window's own pixels beyond its old size rather than garbage.
    setAttribute(Qt::WA_OpaquePaintEvent, attached_ && background_.size() == size());
}

void TransparentLabel::setText(const std::string& text) {
    {
        std::lock_guard guard(textLock_);
        // The text is a C string to the rest of the system: it ends at the first zero byte.
        text_.assign(text.c_str());
    }
    requestRepaint();
}

std::string TransparentLabel::text() const {
    std::lock_guard guard(textLock_);
    return text_;
}

bool TransparentLabel::isAttached() const { return attached_; }

void TransparentLabel::requestRepaint() {
    // update() may only be called on the GUI thread, so the worker posts it. A burst of texts
    // needs one repaint, not one queued event per text.
    if (repaintQueued_.exchange(true)) return;
    QMetaObject::invokeMethod(
        this,
        [this] {
            repaintQueued_.store(false);
            refresh();
        },
        Qt::QueuedConnection);
}

void TransparentLabel::refresh() {
    // A player must be able to read a whole failure text, and the line has room for about 35
    // characters: what does not fit is a hover away.
    const QString whole = QString::fromStdString(text());
    const bool fits = QFontMetrics(font_).horizontalAdvance(whole) <= width();
    setToolTip(fits ? QString() : whole);
    update();
}

void TransparentLabel::paintEvent(QPaintEvent*) {
    if (!attached_) return;
    QString shown;
    {
        // A whole copy under the lock: a text being replaced on the worker is never drawn half-way.
        std::lock_guard guard(textLock_);
        shown = QString::fromStdString(text_);
    }
    QPainter painter(this);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.drawImage(QPoint(0, 0), background_);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    painter.setFont(font_);
    painter.setPen(textColor());
    // One line from the top-left corner; what does not fit ends in an ellipsis.
    shown = QFontMetrics(font_).elidedText(shown, Qt::ElideRight, width());
    painter.drawText(rect(), Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, shown);
}

}  // namespace nimbrel
