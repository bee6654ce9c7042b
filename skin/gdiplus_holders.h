// Owners for the GDI+ (flat interface) and GDI objects of the skin: one
// small type per kind of release.
#pragma once

// clang-format off
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>
// clang-format on

#include <memory>

namespace skin {

namespace gp = Gdiplus::DllExports;
using Gdiplus::GpStatus;

struct ImageDeleter {
    void operator()(Gdiplus::GpImage* p) const { gp::GdipDisposeImage(p); }
};
struct GraphicsDeleter {
    void operator()(Gdiplus::GpGraphics* p) const { gp::GdipDeleteGraphics(p); }
};
struct FontDeleter {
    void operator()(Gdiplus::GpFont* p) const { gp::GdipDeleteFont(p); }
};
struct FontFamilyDeleter {
    void operator()(Gdiplus::GpFontFamily* p) const { gp::GdipDeleteFontFamily(p); }
};
struct StringFormatDeleter {
    void operator()(Gdiplus::GpStringFormat* p) const { gp::GdipDeleteStringFormat(p); }
};
struct BrushDeleter {
    void operator()(Gdiplus::GpBrush* p) const { gp::GdipDeleteBrush(p); }
};
struct PathDeleter {
    void operator()(Gdiplus::GpPath* p) const { gp::GdipDeletePath(p); }
};

using GpImagePtr = std::unique_ptr<Gdiplus::GpImage, ImageDeleter>;
using GpGraphicsPtr = std::unique_ptr<Gdiplus::GpGraphics, GraphicsDeleter>;
using GpFontPtr = std::unique_ptr<Gdiplus::GpFont, FontDeleter>;
using GpFontFamilyPtr = std::unique_ptr<Gdiplus::GpFontFamily, FontFamilyDeleter>;
using GpStringFormatPtr = std::unique_ptr<Gdiplus::GpStringFormat, StringFormatDeleter>;
using GpBrushPtr = std::unique_ptr<Gdiplus::GpBrush, BrushDeleter>;
using GpPathPtr = std::unique_ptr<Gdiplus::GpPath, PathDeleter>;

// A device context from GetDC, given back with ReleaseDC.
class WindowDC {
  public:
    explicit WindowDC(HWND hWnd) : m_hWnd(hWnd), m_hDC(::GetDC(hWnd)) {}
    ~WindowDC() {
        if (m_hDC)
            ::ReleaseDC(m_hWnd, m_hDC);
    }
    WindowDC(const WindowDC&) = delete;
    WindowDC& operator=(const WindowDC&) = delete;
    HDC get() const { return m_hDC; }

  private:
    HWND m_hWnd;
    HDC m_hDC;
};

// A memory device context from CreateCompatibleDC, deleted with DeleteDC.
struct MemoryDCDeleter {
    void operator()(HDC__* h) const { ::DeleteDC(h); }
};
using MemoryDCPtr = std::unique_ptr<HDC__, MemoryDCDeleter>;

// A bitmap or other GDI object, deleted with DeleteObject.
struct GdiObjectDeleter {
    void operator()(void* h) const { ::DeleteObject(static_cast<HGDIOBJ>(h)); }
};
using GdiObjectPtr = std::unique_ptr<void, GdiObjectDeleter>;

// Selects an object into a device context for the holder's lifetime.
class ScopedSelect {
  public:
    ScopedSelect(HDC hDC, HGDIOBJ obj) : m_hDC(hDC), m_old(::SelectObject(hDC, obj)) {}
    ~ScopedSelect() {
        if (m_old && m_old != HGDI_ERROR)
            ::SelectObject(m_hDC, m_old);
    }
    ScopedSelect(const ScopedSelect&) = delete;
    ScopedSelect& operator=(const ScopedSelect&) = delete;

  private:
    HDC m_hDC;
    HGDIOBJ m_old;
};

} // namespace skin
