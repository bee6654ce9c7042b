// Decoding of the skin's PNG images from the program's resources.
#pragma once

#include "skin/gdiplus_holders.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace skin {

// A decoded image: the GDI+ image and, for drawing it unscaled, its pixels
// as premultiplied 0xAARRGGBB, row by row from the top.
struct DecodedImage {
    GpImagePtr image;
    int width = 0;
    int height = 0;
    std::vector<uint32_t> premultiplied; // empty when the pixels could not be read
};
using SharedImage = std::shared_ptr<const DecodedImage>;

// Decodes resource `id` of `type` in `module` into a new image that owns a
// copy of the resource bytes. Null when the resource cannot be found or
// loaded, or its bytes are not an image.
SharedImage DecodePngResource(HMODULE module, UINT id, const wchar_t* type);

// Pixel size of an image; {0, 0} for null.
SIZE ImageSize(Gdiplus::GpImage* image);

} // namespace skin
