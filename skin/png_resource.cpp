#include "skin/png_resource.h"

#include <cstring>

namespace skin {

namespace {

struct StreamRelease {
    void operator()(IStream* s) const { s->Release(); }
};

// Reads the image's pixels as premultiplied ARGB; leaves them empty when
// the image is not a bitmap or cannot be read.
void ReadPremultiplied(DecodedImage* decoded) {
    UINT type = 0;
    if (gp::GdipGetImageType(decoded->image.get(), reinterpret_cast<Gdiplus::ImageType*>(&type)) != Gdiplus::Ok ||
        type != Gdiplus::ImageTypeBitmap || decoded->width <= 0 || decoded->height <= 0)
        return;
    auto* bitmap = reinterpret_cast<Gdiplus::GpBitmap*>(decoded->image.get());
    const Gdiplus::GpRect all(0, 0, decoded->width, decoded->height);
    std::vector<uint32_t> pixels(static_cast<size_t>(decoded->width) * static_cast<size_t>(decoded->height));
    Gdiplus::BitmapData data = {};
    data.Width = static_cast<UINT>(decoded->width);
    data.Height = static_cast<UINT>(decoded->height);
    data.Stride = decoded->width * 4;
    data.PixelFormat = PixelFormat32bppPARGB;
    data.Scan0 = pixels.data();
    if (gp::GdipBitmapLockBits(bitmap, &all, Gdiplus::ImageLockModeRead | Gdiplus::ImageLockModeUserInputBuf,
                               PixelFormat32bppPARGB, &data) != Gdiplus::Ok)
        return;
    gp::GdipBitmapUnlockBits(bitmap, &data);
    decoded->premultiplied = std::move(pixels);
}

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
    auto decoded = std::make_shared<DecodedImage>();
    decoded->image.reset(image);
    SIZE pixels = ImageSize(image);
    decoded->width = pixels.cx;
    decoded->height = pixels.cy;
    ReadPremultiplied(decoded.get());
    return decoded;
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
