#include "skin/png_resource.h"

#include <cstring>

namespace skin {

namespace {

struct StreamRelease {
    void operator()(IStream* s) const { s->Release(); }
};

} // namespace

SharedImage DecodePngResource(HMODULE module, UINT id, const wchar_t* type) {
    HRSRC info = ::FindResourceW(module, MAKEINTRESOURCEW(id), type);
    if (!info)
        return nullptr;
    DWORD size = ::SizeofResource(module, info);
    HGLOBAL loaded = ::LoadResource(module, info);
    if (!loaded || size == 0)
        return nullptr;
    const void* bytes = ::LockResource(loaded);
    if (!bytes)
        return nullptr;
    // The decoder may read the stream lazily, so the image gets its own copy
    // of the bytes; the block is freed together with the stream.
    HGLOBAL block = ::GlobalAlloc(GMEM_FIXED, size);
    if (!block)
        return nullptr;
    std::memcpy(reinterpret_cast<void*>(block), bytes, size);
    IStream* raw = nullptr;
    if (FAILED(::CreateStreamOnHGlobal(block, TRUE, &raw)) || !raw) {
        ::GlobalFree(block);
        return nullptr;
    }
    std::unique_ptr<IStream, StreamRelease> stream(raw);
    Gdiplus::GpImage* image = nullptr;
    if (gp::GdipLoadImageFromStream(stream.get(), &image) != Gdiplus::Ok || !image)
        return nullptr;
    return SharedImage(image, ImageDeleter());
}

SIZE ImageSize(Gdiplus::GpImage* image) {
    SIZE size = {0, 0};
    if (!image)
        return size;
    UINT w = 0, h = 0;
    if (gp::GdipGetImageWidth(image, &w) == Gdiplus::Ok && gp::GdipGetImageHeight(image, &h) == Gdiplus::Ok) {
        size.cx = static_cast<LONG>(w);
        size.cy = static_cast<LONG>(h);
    }
    return size;
}

} // namespace skin
