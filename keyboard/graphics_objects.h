#pragma once

// Brushes and pens that tell their owner when an attribute changes, so the owner can repaint.

#include <cstdint>
#include <functional>

// A colour as 0x00BBGGRR.
using TColor = std::uint32_t;

inline constexpr TColor clBlack = 0x000000;
inline constexpr TColor clGray = 0x808080;
inline constexpr TColor clWhite = 0xFFFFFF;

class TGraphicsObject {
public:
    explicit TGraphicsObject(TColor color) : color_(color) {}

    TColor Color() const { return color_; }
    void SetColor(TColor color) {
        color_ = color;
        Changed();
    }
    // Copies the other object's attributes, not its change notification.
    void Assign(const TGraphicsObject& other) { SetColor(other.color_); }

    std::function<void()> OnChange;

private:
    void Changed() const {
        if (OnChange)
            OnChange();
    }

    TColor color_;
};

class TBrush : public TGraphicsObject {
public:
    using TGraphicsObject::TGraphicsObject;
};

// Always one pixel wide and solid.
class TPen : public TGraphicsObject {
public:
    using TGraphicsObject::TGraphicsObject;
};
