// Small RAII holders for the GDI+ flat-API objects and the memory stream the
// PNG normaliser decodes from.
#pragma once

#include <windows.h>

#include <objidl.h>

#include <gdiplus.h>

#include <utility>

namespace gdip {

using namespace Gdiplus::DllExports;
using Gdiplus::GpBitmap;
using Gdiplus::GpGraphics;
using Gdiplus::GpImage;
using Gdiplus::GpStatus;

// Owns a pointer released by Release(p) when it is not null.
template <typename T, void (*Release)(T*)> class Holder {
  public:
    Holder() = default;
    explicit Holder(T* value) : m_value(value) {}
    ~Holder() { reset(); }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;

    T* get() const { return m_value; }
    T** out() {
        reset();
        return &m_value;
    }
    T* release() { return std::exchange(m_value, nullptr); }
    void reset(T* value = nullptr) {
        T* old = std::exchange(m_value, value);
        if (old)
            Release(old);
    }
    explicit operator bool() const { return m_value != nullptr; }

  private:
    T* m_value = nullptr;
};

inline void DisposeImage(GpImage* image) { GdipDisposeImage(image); }
inline void DeleteGraphics(GpGraphics* graphics) { GdipDeleteGraphics(graphics); }
inline void ReleaseStream(IStream* stream) { stream->Release(); }

using Image = Holder<GpImage, DisposeImage>;
using Graphics = Holder<GpGraphics, DeleteGraphics>;
using Stream = Holder<IStream, ReleaseStream>;

// A global memory block (GlobalAlloc), freed with GlobalFree.
class GlobalBlock {
  public:
    explicit GlobalBlock(SIZE_T bytes) : m_block(::GlobalAlloc(GMEM_FIXED, bytes)) {}
    ~GlobalBlock() {
        if (m_block)
            ::GlobalFree(m_block);
    }
    GlobalBlock(const GlobalBlock&) = delete;
    GlobalBlock& operator=(const GlobalBlock&) = delete;

    HGLOBAL get() const { return m_block; }
    explicit operator bool() const { return m_block != nullptr; }

  private:
    HGLOBAL m_block;
};

} // namespace gdip
