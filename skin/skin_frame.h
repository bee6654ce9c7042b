// One composed frame of the skinned window: a 32-bit top-down surface with
// premultiplied per-pixel alpha, drawable through GDI+ and selectable into
// a memory device context for UpdateLayeredWindow.
#pragma once

#include "skin/gdiplus_holders.h"

#include <cstdint>

namespace skin {

class SkinFrame {
  public:
    SkinFrame() = default;
    ~SkinFrame();
    SkinFrame(const SkinFrame&) = delete;
    SkinFrame& operator=(const SkinFrame&) = delete;

    // A transparent black surface of the given size and a drawing context
    // on it. False when any part cannot be made.
    bool Create(int width, int height);

    int width() const { return m_width; }
    int height() const { return m_height; }
    Gdiplus::GpGraphics* graphics() const { return m_graphics.get(); }
    // The surface's bitmap (for selecting into a memory device context).
    HBITMAP bitmap() const { return static_cast<HBITMAP>(m_bitmap.get()); }
    // Premultiplied 0xAARRGGBB of pixel (x, y); 0 outside the surface.
    uint32_t Pixel(int x, int y) const;
    // Ends drawing: flushes GDI+ and releases its context on the surface.
    void FinishDrawing();

  private:
    int m_width = 0;
    int m_height = 0;
    uint32_t* m_bits = nullptr; // owned by m_bitmap
    GdiObjectPtr m_bitmap;
    GpImagePtr m_surface; // GDI+ bitmap over m_bits
    GpGraphicsPtr m_graphics;
};

} // namespace skin
