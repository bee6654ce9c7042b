// One composed frame of the skinned window: a 32-bit top-down surface with
// premultiplied per-pixel alpha, drawable through GDI+ and selectable into
// a memory device context for UpdateLayeredWindow.
#pragma once

#include "skin/gdiplus_holders.h"
#include "skin/png_resource.h"

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
    // Draws the source rectangle (srcX, srcY, width, height) of `image`
    // unscaled with its top-left corner at (x, y), blending source-over;
    // clipped to both. False when the image has no pixels to draw from.
    bool Blit(const DecodedImage& image, int x, int y, int srcX, int srcY, int width, int height);
    // Lets GDI+ finish what it drew before pixels are written directly.
    void Flush();
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
