#include "skin/skin_frame.h"

namespace skin {

SkinFrame::~SkinFrame() { FinishDrawing(); }

bool SkinFrame::Create(int width, int height) {
    if (width <= 0 || height <= 0)
        return false;
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height; // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    GdiObjectPtr bitmap(::CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!bitmap || !bits)
        return false;
    // A new DIB section is zero-filled: transparent black.
    Gdiplus::GpBitmap* surface = nullptr;
    if (gp::GdipCreateBitmapFromScan0(width, height, width * 4, PixelFormat32bppPARGB, static_cast<BYTE*>(bits),
                                      &surface) != Gdiplus::Ok)
        return false;
    GpImagePtr surfaceOwner(surface);
    Gdiplus::GpGraphics* graphics = nullptr;
    if (gp::GdipGetImageGraphicsContext(surface, &graphics) != Gdiplus::Ok)
        return false;
    m_graphics.reset(graphics);
    m_surface = std::move(surfaceOwner);
    m_bitmap = std::move(bitmap);
    m_bits = static_cast<uint32_t*>(bits);
    m_width = width;
    m_height = height;
    return true;
}

uint32_t SkinFrame::Pixel(int x, int y) const {
    if (!m_bits || x < 0 || y < 0 || x >= m_width || y >= m_height)
        return 0;
    return m_bits[static_cast<size_t>(y) * static_cast<size_t>(m_width) + static_cast<size_t>(x)];
}

void SkinFrame::FinishDrawing() {
    if (m_graphics) {
        gp::GdipFlush(m_graphics.get(), Gdiplus::FlushIntentionSync);
        m_graphics.reset();
    }
    m_surface.reset();
}

} // namespace skin
