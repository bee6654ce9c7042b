// Decoding of the skin's PNG images from the program's resources.
#pragma once

#include "skin/gdiplus_holders.h"

#include <memory>

namespace skin {

using SharedImage = std::shared_ptr<Gdiplus::GpImage>;

// Decodes resource `id` of `type` in `module` into a new image that owns a
// copy of the resource bytes. Null when the resource cannot be found or
// loaded, or its bytes are not an image.
SharedImage DecodePngResource(HMODULE module, UINT id, const wchar_t* type);

// Pixel size of an image; {0, 0} for null.
SIZE ImageSize(Gdiplus::GpImage* image);

} // namespace skin
