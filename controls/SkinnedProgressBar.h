#pragma once
// The launcher's progress bar: a 16-pixel-high bar drawn from small pieces of pixel art made once
// at construction, composed off-screen and shown with one copy per paint so it never flickers.

#include <QImage>
#include <QWidget>

namespace nimbrel {

class SkinnedProgressBar : public QWidget {
    Q_OBJECT
public:
    explicit SkinnedProgressBar(QWidget* parent = nullptr);

    void setRange(unsigned lower, unsigned upper);
    // Places the bar's head for `value` within the range and schedules a repaint.
    void setValue(unsigned value);
    // x coordinate of the head; 0 until the first SetPos, and for an upper bound of 0.
    unsigned headPosition() const { return head_; }

    // The frame a paint copies to the screen, composed at the widget's current size.
    QImage composeFrame() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    unsigned lower_ = 0;
    unsigned upper_ = 0;
    unsigned head_ = 0;
    QImage startCap_;
    QImage headCap_;
    QImage leftEnd_;
    QImage rightEnd_;
};

}  // namespace nimbrel
