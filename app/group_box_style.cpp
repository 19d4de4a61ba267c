#include "app/group_box_style.h"

#include <QPainter>
#include <QRegion>
#include <QStyleOptionGroupBox>

#include <algorithm>

namespace {

// Room between the frame's top line and the caption's text on either side.
constexpr int kCaptionGap = 2;
// The caption starts this far in from the frame's left edge, clear of its corner.
constexpr int kCaptionIndent = 8;

const QStyleOptionGroupBox* CaptionedBox(QStyle::ComplexControl control,
                                         const QStyleOptionComplex* option) {
    if (control != QStyle::CC_GroupBox)
        return nullptr;
    const auto* box = qstyleoption_cast<const QStyleOptionGroupBox*>(option);
    // A box with a check box keeps the base style's arrangement: the window has none.
    if (box == nullptr || (box->subControls & QStyle::SC_GroupBoxCheckBox) != 0)
        return nullptr;
    return box;
}

} // namespace

QRect GroupBoxStyle::subControlRect(ComplexControl control, const QStyleOptionComplex* option,
                                    SubControl part, const QWidget* widget) const {
    const QStyleOptionGroupBox* box = CaptionedBox(control, option);
    if (box == nullptr)
        return QProxyStyle::subControlRect(control, option, part, widget);
    const QRect whole = box->rect;
    const int captionHeight = box->text.isEmpty() ? 0 : box->fontMetrics.height();
    const int frameWidth = proxy()->pixelMetric(PM_DefaultFrameWidth, option, widget);
    switch (part) {
    case SC_GroupBoxLabel: {
        // As wide as the base style makes it, but never past the frame's right corner.
        const QRect base = QProxyStyle::subControlRect(control, option, part, widget);
        const int room = std::max(0, whole.width() - 2 * kCaptionIndent);
        return QRect(whole.left() + kCaptionIndent, whole.top(), std::min(base.width(), room),
                     captionHeight);
    }
    case SC_GroupBoxFrame:
        return whole.adjusted(0, captionHeight / 2, 0, 0);
    case SC_GroupBoxContents:
        return whole.adjusted(frameWidth, std::max(captionHeight, frameWidth), -frameWidth,
                              -frameWidth);
    default:
        return QProxyStyle::subControlRect(control, option, part, widget);
    }
}

void GroupBoxStyle::drawPrimitive(PrimitiveElement element, const QStyleOption* option,
                                  QPainter* painter, const QWidget* widget) const {
    if (element != PE_FrameGroupBox) {
        QProxyStyle::drawPrimitive(element, option, painter, widget);
        return;
    }
    // One line of the shade Fusion gives its outlines, as wide as the frame width it reports.
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing, false);
    painter->setPen(option->palette.window().color().darker(140));
    painter->setBrush(Qt::NoBrush);
    painter->drawRect(option->rect.adjusted(0, 0, -1, -1));
    painter->restore();
}

void GroupBoxStyle::drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                                       QPainter* painter, const QWidget* widget) const {
    const QStyleOptionGroupBox* box = CaptionedBox(control, option);
    if (box == nullptr || box->text.isEmpty() || (box->subControls & SC_GroupBoxLabel) == 0) {
        QProxyStyle::drawComplexControl(control, option, painter, widget);
        return;
    }
    // The frame first, its top line broken where the caption stands, then the caption.
    QStyleOptionGroupBox frameOnly = *box;
    frameOnly.subControls &= ~SC_GroupBoxLabel;
    const QRect caption = subControlRect(control, option, SC_GroupBoxLabel, widget)
                              .adjusted(-kCaptionGap, 0, kCaptionGap, 0);
    painter->save();
    painter->setClipRegion(QRegion(box->rect).subtracted(QRegion(caption)));
    QProxyStyle::drawComplexControl(control, &frameOnly, painter, widget);
    painter->restore();
    QStyleOptionGroupBox captionOnly = *box;
    captionOnly.subControls = SC_GroupBoxLabel;
    QProxyStyle::drawComplexControl(control, &captionOnly, painter, widget);
}
