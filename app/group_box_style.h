#pragma once

// The window's group boxes were laid out for a frame whose top line runs through the middle of
// the caption, with the controls below the caption inside the frame. Fusion draws the caption
// above the frame instead, which pushes the frame's top line down through the controls. This
// style keeps the base style's look and moves only the frame and the caption.

#include <QProxyStyle>

class GroupBoxStyle : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;

    QRect subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl part,
                         const QWidget* widget) const override;
    // The base style's frame may keep room for a caption above it; this one fills its rectangle.
    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget) const override;
    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                            QPainter* painter, const QWidget* widget) const override;
};
