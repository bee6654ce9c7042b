#include "skin/skin_frame.h"

#include <algorithm>

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

bool SkinFrame::Blit(const DecodedImage& image, int x, int y, int srcX, int srcY, int width, int height) {
    if (!m_bits || image.premultiplied.empty())
        return false;
    // Clip the source to the image, then the destination to the surface.
    if (srcX < 0) {
        width += srcX;
        x -= srcX;
        srcX = 0;
    }
    if (srcY < 0) {
        height += srcY;
        y -= srcY;
        srcY = 0;
    }
    width = std::min(width, image.width - srcX);
    height = std::min(height, image.height - srcY);
    if (x < 0) {
        width += x;
        srcX -= x;
        x = 0;
    }
    if (y < 0) {
        height += y;
        srcY -= y;
        y = 0;
    }
    width = std::min(width, m_width - x);
    height = std::min(height, m_height - y);
    for (int row = 0; row < height; ++row) {
        const uint32_t* src = &image.premultiplied[static_cast<size_t>(srcY + row) * image.width + srcX];
        uint32_t* dst = &m_bits[static_cast<size_t>(y + row) * m_width + x];
        for (int col = 0; col < width; ++col) {
            const uint32_t s = src[col];
            const uint32_t alpha = s >> 24;
            if (alpha == 255) {
                dst[col] = s;
            } else if (alpha != 0) {
                // Premultiplied source-over: d = s + d * (255 - a) / 255, per channel.
                const uint32_t d = dst[col];
                const uint32_t keep = 255 - alpha;
                uint32_t out = 0;
                for (int shift = 0; shift < 32; shift += 8) {
                    uint32_t channel = ((d >> shift) & 0xFF) * keep + 127;
                    channel = (channel + (channel >> 8)) >> 8; // / 255, rounded
                    out |= std::min<uint32_t>(255, ((s >> shift) & 0xFF) + channel) << shift;
                }
                dst[col] = out;
            }
        }
    }
    return true;
}

void SkinFrame::Flush() {
    if (m_graphics)
        gp::GdipFlush(m_graphics.get(), Gdiplus::FlushIntentionSync);
}

void SkinFrame::FinishDrawing() {
    if (m_graphics) {
        gp::GdipFlush(m_graphics.get(), Gdiplus::FlushIntentionSync);
        m_graphics.reset();
    }
    m_surface.reset();
}

} // namespace skin
