#include "ipa/png_fixer.h"

#include "ipa/gdiplus_holders.h"
#include "ipa/ipa_exception.h"
#include "platform/handles.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <cwchar>

namespace {

constexpr uint8_t kPngSignature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
constexpr uint8_t kVariantSignature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0A, 0x0A, 0x1A, 0x0A};
constexpr size_t kChunkOverhead = 12; // length, type, CRC
constexpr size_t kInflatePieceBytes = 256 * 1024;

uint32_t ReadBigEndian(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

void AppendBigEndian(std::vector<uint8_t>& out, uint32_t value) {
    uint8_t bytes[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                        static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    out.insert(out.end(), bytes, bytes + 4);
}

bool IsType(const PngChunk& chunk, const char (&type)[5]) { return std::memcmp(chunk.type, type, 4) == 0; }

[[noreturn]] void ThrowZlibError(int code) {
    wchar_t text[32];
    std::swprintf(text, 32, L"ZLib error! %d\n", code);
    throw CIpaException(text);
}

// The filtered image size that the header announces, when it can be told;
// used only to size the first inflate buffer.
size_t ExpectedImageBytes(const std::vector<PngChunk>& chunks) {
    if (chunks.empty() || !IsType(chunks[0], "IHDR") || chunks[0].length != 13)
        return 0;
    const uint8_t* header = chunks[0].data;
    uint64_t width = ReadBigEndian(header), height = ReadBigEndian(header + 4);
    unsigned depth = header[8], colourType = header[9];
    static const unsigned kChannels[7] = {1, 0, 3, 1, 2, 0, 4};
    unsigned channels = colourType < 7 ? kChannels[colourType] : 0;
    uint64_t rowBytes = (width * channels * depth + 7) / 8;
    uint64_t total = height * (rowBytes + 1);
    return total <= kMaxImageDataBytes ? static_cast<size_t>(total) : 0;
}

bool HasZlibHeader(const uint8_t* data, size_t size) {
    return size >= 2 && (data[0] & 0x0F) == Z_DEFLATED && (data[0] >> 4) <= 7 && (data[1] & 0x20) == 0 &&
           ((data[0] << 8) | data[1]) % 31 == 0;
}

class InflateStream {
  public:
    explicit InflateStream(int windowBits) {
        if (inflateInit2(&m_stream, windowBits) != Z_OK)
            throw CIpaException(L"ZLib error");
    }
    ~InflateStream() { inflateEnd(&m_stream); }
    InflateStream(const InflateStream&) = delete;
    InflateStream& operator=(const InflateStream&) = delete;
    z_stream* get() { return &m_stream; }

  private:
    z_stream m_stream = {};
};

// Wraps what it is fed into one zlib stream held in memory. The stream
// only carries the image data to GDI+'s decoder in this process (the file
// written is GDI+'s own encoding), so it is stored, not compressed:
// compressing it cost as much as the rest of the rebuild, and the decoder
// then had to inflate it again.
class Recompressor {
  public:
    explicit Recompressor(size_t expectedInput) {
        if (deflateInit(&m_stream, Z_NO_COMPRESSION) != Z_OK)
            throw CIpaException(L"ZLib error");
        m_out.resize(deflateBound(&m_stream, static_cast<uLong>(std::max<size_t>(expectedInput, 4096))));
    }
    ~Recompressor() { deflateEnd(&m_stream); }
    Recompressor(const Recompressor&) = delete;
    Recompressor& operator=(const Recompressor&) = delete;

    void Feed(const uint8_t* bytes, size_t count) { Run(bytes, count, Z_NO_FLUSH); }
    std::vector<uint8_t> Finish() {
        Run(nullptr, 0, Z_FINISH);
        m_out.resize(m_stream.total_out);
        return std::move(m_out);
    }
    void Restart() {
        deflateReset(&m_stream);
        m_fed = 0;
    }
    size_t Fed() const { return m_fed; }

  private:
    void Run(const uint8_t* bytes, size_t count, int flush) {
        m_fed += count;
        m_stream.next_in = const_cast<Bytef*>(bytes);
        m_stream.avail_in = static_cast<uInt>(count);
        for (;;) {
            if (m_stream.total_out == m_out.size())
                m_out.resize(m_out.size() * 2);
            m_stream.next_out = m_out.data() + m_stream.total_out;
            m_stream.avail_out = static_cast<uInt>(m_out.size() - m_stream.total_out);
            int rc = deflate(&m_stream, flush);
            if (rc == Z_STREAM_END || (flush == Z_NO_FLUSH && m_stream.avail_in == 0 && m_stream.avail_out > 0))
                return;
            if (rc != Z_OK && rc != Z_BUF_ERROR)
                ThrowZlibError(rc);
        }
    }

    z_stream m_stream = {};
    std::vector<uint8_t> m_out;
    size_t m_fed = 0;
};

// Inflates the joined image data, one deflate stream after another while
// input remains, feeding what comes out to the recompressor piece by piece:
// the whole image is never held inflated. An unfinished last stream is
// accepted with what it produced. Returns Z_OK or the zlib error that
// stopped it; more than kMaxImageDataBytes is refused as Z_MEM_ERROR.
int InflateImageData(const uint8_t* data, size_t size, int windowBits, Recompressor& out) {
    InflateStream inflater(windowBits);
    z_stream* zs = inflater.get();
    zs->next_in = const_cast<Bytef*>(data);
    zs->avail_in = static_cast<uInt>(size);
    std::vector<uint8_t> piece(kInflatePieceBytes);
    for (;;) {
        zs->next_out = piece.data();
        zs->avail_out = static_cast<uInt>(piece.size());
        uInt inBefore = zs->avail_in;
        int rc = inflate(zs, Z_NO_FLUSH);
        size_t produced = piece.size() - zs->avail_out;
        if (out.Fed() + produced > kMaxImageDataBytes)
            return Z_MEM_ERROR;
        out.Feed(piece.data(), produced);
        if (rc == Z_STREAM_END) {
            if (zs->avail_in == 0)
                return Z_OK;
            inflateReset(zs); // the rest is a further stream
            continue;
        }
        if (rc == Z_NEED_DICT)
            return Z_DATA_ERROR;
        if (rc == Z_DATA_ERROR || rc == Z_MEM_ERROR)
            return rc;
        if (zs->avail_out == 0)
            continue; // room is all it needs
        if (zs->avail_in == 0 || (produced == 0 && zs->avail_in == inBefore))
            return Z_OK; // the data ends inside a stream: keep what it gave
    }
}

} // namespace

bool IsPngSignature(const uint8_t* bytes, size_t length) {
    return bytes && length >= 8 &&
           (std::memcmp(bytes, kPngSignature, 8) == 0 || std::memcmp(bytes, kVariantSignature, 8) == 0);
}

CPngFixer::CPngFixer(const wchar_t* inputPath) {
    std::wstring path = inputPath ? inputPath : L"";
    UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        throw FileError(L"打开图标文件失败", path, ::GetLastError());
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(file.get(), &size))
        throw FileError(L"读取图标文件失败", path, ::GetLastError());
    if (size.QuadPart > kMaxPngInputBytes)
        throw CIpaException(L"图标文件过大: " + path);
    m_nInputLength = static_cast<uint32_t>(size.QuadPart);
    m_pInput = std::make_unique<uint8_t[]>(m_nInputLength ? m_nInputLength : 1);
    DWORD got = 0;
    if (m_nInputLength &&
        (!::ReadFile(file.get(), m_pInput.get(), m_nInputLength, &got, nullptr) || got != m_nInputLength))
        throw FileError(L"读取图标文件失败", path, ::GetLastError());
}

CPngFixer::~CPngFixer() = default;

int CPngFixer::ConvertToFile(const wchar_t* outputPath) {
    if (m_nInputLength == 0 || !outputPath || !*outputPath)
        return 0;
    if (!IsPngSignature(m_pInput.get(), m_nInputLength))
        return SaveImage(m_pInput.get(), m_nInputLength, outputPath, false);
    if (!ParseChunks()) {
        FreeChunks();
        return 0;
    }
    if (m_bPlainPng) {
        FreeChunks();
        return SaveImage(m_pInput.get(), m_nInputLength, outputPath, false);
    }
    RecompressImageData();
    RebuildPng();
    FreeChunks();
    return SaveImage(m_pOutput.get(), m_nOutputLength, outputPath, true);
}

bool CPngFixer::ParseChunks() {
    FreeChunks();
    m_bPlainPng = true;
    size_t position = 8;
    while (m_nInputLength - position >= kChunkOverhead) {
        const uint8_t* at = m_pInput.get() + position;
        uint32_t length = ReadBigEndian(at);
        if (length > m_nInputLength - position - kChunkOverhead)
            return false; // runs past the end of the input
        PngChunk chunk;
        chunk.length = length;
        std::memcpy(chunk.type, at + 4, 4);
        chunk.data = at + 8;
        chunk.crc = ReadBigEndian(at + 8 + length);
        m_pChunks.push_back(chunk);
        m_nChunks = m_pChunks.size();
        position += kChunkOverhead + length;
        if (IsType(chunk, "CgBI"))
            m_bPlainPng = false;
        else if (IsType(chunk, "IEND"))
            return true;
    }
    return false; // no IEND
}

void CPngFixer::RecompressImageData() {
    // The image data of all IDAT chunks, joined in order, is one stream.
    std::vector<uint8_t> joined;
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t idatCount = 0;
    for (const PngChunk& chunk : m_pChunks) {
        if (!IsType(chunk, "IDAT"))
            continue;
        if (++idatCount == 1) {
            data = chunk.data;
            size = chunk.length;
            continue;
        }
        if (idatCount == 2)
            joined.assign(data, data + size);
        joined.insert(joined.end(), chunk.data, chunk.data + chunk.length);
    }
    if (idatCount == 0)
        return;
    if (idatCount > 1) {
        data = joined.data();
        size = joined.size();
    }

    Recompressor recompressor(ExpectedImageBytes(m_pChunks));
    int rc = InflateImageData(data, size, -MAX_WBITS, recompressor);
    // Some tools keep the zlib header in a CgBI file.
    if (rc == Z_DATA_ERROR && HasZlibHeader(data, size)) {
        recompressor.Restart();
        rc = InflateImageData(data, size, MAX_WBITS, recompressor);
    }
    if (rc != Z_OK)
        ThrowZlibError(rc);
    m_imageData = recompressor.Finish();
}

void CPngFixer::RebuildPng() {
    std::vector<uint8_t> out;
    out.reserve(m_nInputLength + m_imageData.size());
    out.insert(out.end(), kPngSignature, kPngSignature + 8);
    bool idatWritten = false;
    for (const PngChunk& chunk : m_pChunks) {
        if (IsType(chunk, "CgBI"))
            continue;
        if (IsType(chunk, "IDAT")) {
            if (idatWritten)
                continue;
            idatWritten = true;
            AppendBigEndian(out, static_cast<uint32_t>(m_imageData.size()));
            out.insert(out.end(), chunk.type, chunk.type + 4);
            out.insert(out.end(), m_imageData.begin(), m_imageData.end());
            uLong crc = crc32(0L, reinterpret_cast<const Bytef*>(chunk.type), 4);
            crc = crc32(crc, m_imageData.data(), static_cast<uInt>(m_imageData.size()));
            AppendBigEndian(out, static_cast<uint32_t>(crc));
        } else {
            AppendBigEndian(out, chunk.length);
            out.insert(out.end(), chunk.type, chunk.type + 4);
            out.insert(out.end(), chunk.data, chunk.data + chunk.length);
            AppendBigEndian(out, chunk.crc);
        }
        if (IsType(chunk, "IEND"))
            break;
    }
    m_pOutput = std::make_unique<uint8_t[]>(out.size());
    std::memcpy(m_pOutput.get(), out.data(), out.size());
    m_nOutputLength = static_cast<uint32_t>(out.size());
}

void CPngFixer::FreeChunks() {
    m_pChunks.clear();
    m_pChunks.shrink_to_fit();
    m_nChunks = 0;
}

namespace {

bool FindPngEncoder(CLSID* encoder) {
    UINT count = 0, bytes = 0;
    if (gdip::GdipGetImageEncodersSize(&count, &bytes) != Gdiplus::Ok || count == 0)
        return false;
    std::vector<uint8_t> storage(bytes);
    auto* codecs = reinterpret_cast<Gdiplus::ImageCodecInfo*>(storage.data());
    if (gdip::GdipGetImageEncoders(count, bytes, codecs) != Gdiplus::Ok)
        return false;
    for (UINT i = 0; i < count; ++i) {
        if (codecs[i].MimeType && ::_wcsicmp(codecs[i].MimeType, L"image/png") == 0) {
            *encoder = codecs[i].Clsid;
            return true;
        }
    }
    return false;
}

// Draws the image on a 32-bit premultiplied surface, reads it back as
// straight ARGB and trades the red and blue bytes of every pixel.
bool SwapRedAndBlue(gdip::Image& image) {
    Gdiplus::GpRectF bounds;
    Gdiplus::GpUnit unit;
    if (gdip::GdipGetImageBounds(image.get(), &bounds, &unit) != Gdiplus::Ok)
        return false;
    INT width = static_cast<INT>(bounds.Width), height = static_cast<INT>(bounds.Height);
    gdip::GpBitmap* bitmap = nullptr;
    if (width <= 0 || height <= 0 ||
        gdip::GdipCreateBitmapFromScan0(width, height, 0, PixelFormat32bppPARGB, nullptr, &bitmap) != Gdiplus::Ok)
        return false;
    gdip::Image surface(bitmap);
    {
        gdip::Graphics graphics;
        if (gdip::GdipGetImageGraphicsContext(surface.get(), graphics.out()) != Gdiplus::Ok)
            return false;
        // A same-size copy: no blending, and no filter that would look at
        // neighbouring pixels (each lands on itself either way).
        gdip::GdipSetCompositingMode(graphics.get(), Gdiplus::CompositingModeSourceCopy);
        gdip::GdipSetInterpolationMode(graphics.get(), Gdiplus::InterpolationModeNearestNeighbor);
        if (gdip::GdipDrawImageRectI(graphics.get(), image.get(), 0, 0, width, height) != Gdiplus::Ok)
            return false;
    }
    Gdiplus::GpRect rect(0, 0, width, height);
    Gdiplus::BitmapData locked;
    if (gdip::GdipBitmapLockBits(bitmap, &rect, Gdiplus::ImageLockModeRead | Gdiplus::ImageLockModeWrite,
                                 PixelFormat32bppARGB, &locked) != Gdiplus::Ok)
        return false;
    for (INT y = 0; y < height; ++y) {
        uint8_t* row = static_cast<uint8_t*>(locked.Scan0) + static_cast<ptrdiff_t>(y) * locked.Stride;
        for (INT x = 0; x < width; ++x)
            std::swap(row[4 * x], row[4 * x + 2]);
    }
    gdip::GdipBitmapUnlockBits(bitmap, &locked);
    image.reset(surface.release());
    return true;
}

} // namespace

int CPngFixer::SaveImage(const uint8_t* bytes, uint32_t length, const wchar_t* outputPath, bool swapRedBlue) {
    gdip::GlobalBlock block(length);
    if (!block)
        return 0;
    std::memcpy(::GlobalLock(block.get()), bytes, length);
    ::GlobalUnlock(block.get());
    gdip::Stream stream;
    if (FAILED(::CreateStreamOnHGlobal(block.get(), FALSE, stream.out())))
        return 0;
    gdip::Image image;
    gdip::GdipLoadImageFromStreamICM(stream.get(), image.out());
    CLSID encoder;
    if (!FindPngEncoder(&encoder))
        return 0;
    bool ready = image && (!swapRedBlue || SwapRedAndBlue(image));
    if (!ready || gdip::GdipSaveImageToFile(image.get(), outputPath, &encoder, nullptr) != Gdiplus::Ok) {
        image.reset();
        ::DeleteFileW(outputPath);
        return 0;
    }
    return 1;
}
