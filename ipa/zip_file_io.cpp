#include "ipa/zip_file_io.h"

// clang-format off
#include <iowin32.h>
// clang-format on

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

// Two windows: one follows the central directory, the other the entries'
// local headers and data, so the walk does not evict one with the other.
constexpr size_t kWindowBytes = 64 * 1024;
constexpr int kWindows = 2;

struct Window {
    ZPOS64_T start = 0;
    size_t length = 0;
    unsigned lastUse = 0;
    std::unique_ptr<uint8_t[]> bytes;
};

struct CachedFile {
    voidpf stream = nullptr;
    ZPOS64_T position = 0;
    unsigned clock = 0;
    Window windows[kWindows];
    Window* last = nullptr; // the window that served the last read
};

const zlib_filefunc64_def& Base() {
    static const zlib_filefunc64_def base = [] {
        zlib_filefunc64_def functions;
        fill_win32_filefunc64W(&functions);
        return functions;
    }();
    return base;
}

bool BaseSeek(voidpf stream, ZPOS64_T offset, int origin) {
    return Base().zseek64_file(Base().opaque, stream, offset, origin) == 0;
}

uLong BaseRead(voidpf stream, void* buffer, uLong size) {
    return Base().zread_file(Base().opaque, stream, buffer, size);
}

voidpf ZCALLBACK Open(voidpf opaque, const void* path, int mode) {
    voidpf stream = Base().zopen64_file(Base().opaque, path, mode);
    if (!stream)
        return nullptr;
    auto* file = new (std::nothrow) CachedFile;
    if (!file) {
        Base().zclose_file(Base().opaque, stream);
        return nullptr;
    }
    file->stream = stream;
    if (opaque)
        *static_cast<void**>(opaque) = file;
    return file;
}

// The window holding `position`, refilled from there when none does; null
// on a read error.
Window* WindowAt(CachedFile* file, ZPOS64_T position) {
    for (Window& w : file->windows) {
        if (w.bytes && position >= w.start && position < w.start + w.length) {
            w.lastUse = ++file->clock;
            file->last = &w;
            return &w;
        }
    }
    Window* oldest = &file->windows[0];
    for (Window& w : file->windows) {
        if (w.lastUse < oldest->lastUse)
            oldest = &w;
    }
    if (!oldest->bytes)
        oldest->bytes.reset(new (std::nothrow) uint8_t[kWindowBytes]);
    if (!oldest->bytes || !BaseSeek(file->stream, position, ZLIB_FILEFUNC_SEEK_SET))
        return nullptr;
    oldest->start = position;
    oldest->length = BaseRead(file->stream, oldest->bytes.get(), kWindowBytes);
    oldest->lastUse = ++file->clock;
    file->last = oldest->length ? oldest : nullptr;
    return file->last;
}

uLong ZCALLBACK Read(voidpf, voidpf stream, void* buffer, uLong size) {
    auto* file = static_cast<CachedFile*>(stream);
    auto* out = static_cast<uint8_t*>(buffer);
    // Most reads are a few bytes (minizip reads the directory's fields byte
    // by byte) inside the window that served the read before.
    if (const Window* w = file->last) {
        if (file->position >= w->start && file->position - w->start + size <= w->length) {
            const uint8_t* from = w->bytes.get() + (file->position - w->start);
            if (size == 1)
                *out = *from;
            else
                std::memcpy(out, from, size);
            file->position += size;
            return size;
        }
    }
    uLong done = 0;
    if (size >= kWindowBytes) {
        // Large reads go straight through.
        if (!BaseSeek(file->stream, file->position, ZLIB_FILEFUNC_SEEK_SET))
            return 0;
        done = BaseRead(file->stream, out, size);
        file->position += done;
        return done;
    }
    while (done < size) {
        Window* w = WindowAt(file, file->position);
        if (!w)
            break;
        size_t offset = static_cast<size_t>(file->position - w->start);
        size_t take = std::min<size_t>(size - done, w->length - offset);
        std::memcpy(out + done, w->bytes.get() + offset, take);
        done += static_cast<uLong>(take);
        file->position += take;
    }
    return done;
}

uLong ZCALLBACK Write(voidpf, voidpf, const void*, uLong) { return 0; } // archives are only read

ZPOS64_T ZCALLBACK Tell(voidpf, voidpf stream) { return static_cast<CachedFile*>(stream)->position; }

long ZCALLBACK Seek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
    auto* file = static_cast<CachedFile*>(stream);
    switch (origin) {
    case ZLIB_FILEFUNC_SEEK_SET:
        file->position = offset;
        return 0;
    case ZLIB_FILEFUNC_SEEK_CUR:
        file->position += offset;
        return 0;
    case ZLIB_FILEFUNC_SEEK_END: {
        if (!BaseSeek(file->stream, offset, ZLIB_FILEFUNC_SEEK_END))
            return -1;
        file->position = Base().ztell64_file(Base().opaque, file->stream);
        return 0;
    }
    default:
        return -1;
    }
}

int ZCALLBACK Close(voidpf opaque, voidpf stream) {
    auto* file = static_cast<CachedFile*>(stream);
    int result = Base().zclose_file(Base().opaque, file->stream);
    if (opaque && *static_cast<void**>(opaque) == file)
        *static_cast<void**>(opaque) = nullptr;
    delete file;
    return result;
}

int ZCALLBACK Error(voidpf, voidpf stream) {
    return Base().zerror_file(Base().opaque, static_cast<CachedFile*>(stream)->stream);
}

} // namespace

void FillCachedWin32FileFunctions(zlib_filefunc64_def* functions, void** opened) {
    functions->zopen64_file = Open;
    functions->zread_file = Read;
    functions->zwrite_file = Write;
    functions->ztell64_file = Tell;
    functions->zseek64_file = Seek;
    functions->zclose_file = Close;
    functions->zerror_file = Error;
    functions->opaque = opened;
    if (opened)
        *opened = nullptr;
}

uint64_t ArchiveSize(void* opened) {
    auto* file = static_cast<CachedFile*>(opened);
    if (!file || !BaseSeek(file->stream, 0, ZLIB_FILEFUNC_SEEK_END))
        return 0;
    return Base().ztell64_file(Base().opaque, file->stream);
}

bool ReadArchive(void* opened, uint64_t offset, uint8_t* buffer, size_t size) {
    auto* file = static_cast<CachedFile*>(opened);
    if (!file || !BaseSeek(file->stream, offset, ZLIB_FILEFUNC_SEEK_SET))
        return false;
    size_t done = 0;
    while (done < size) {
        uLong step = static_cast<uLong>(std::min<size_t>(size - done, 1u << 30));
        uLong got = BaseRead(file->stream, buffer + done, step);
        if (got == 0)
            return false;
        done += got;
    }
    return true;
}
