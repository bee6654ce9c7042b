// Turns a device-optimised ("CgBI") PNG file into an ordinary PNG: drops the
// CgBI chunk, re-wraps the image data as one zlib stream, swaps red and blue
// and saves the result with GDI+'s PNG encoder. A PNG without CgBI is saved
// again through the encoder unchanged; any other image GDI+ can decode is
// transcoded to PNG. GDI+ must have been started in the process.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The largest input file, and the most image data one file may inflate to.
constexpr uint32_t kMaxPngInputBytes = 64u * 1024 * 1024;
constexpr uint32_t kMaxImageDataBytes = 64u * 1024 * 1024;

struct PngChunk {
    uint32_t length; // data bytes
    char type[4];
    const uint8_t* data; // into the input, or the recompressed image data
    uint32_t crc;        // as read; recomputed for the rebuilt IDAT
};

class CPngFixer {
  public:
    // Reads the whole file; throws CIpaException when it can't be opened or
    // read, or is larger than kMaxPngInputBytes.
    explicit CPngFixer(const wchar_t* inputPath);
    virtual ~CPngFixer();
    CPngFixer(const CPngFixer&) = delete;
    CPngFixer& operator=(const CPngFixer&) = delete;

    // 1 when the output file has been written, 0 when not. A truncated PNG
    // (a chunk running past the end, no IEND) is refused with 0. zlib
    // failures throw CIpaException with "ZLib error" texts.
    int ConvertToFile(const wchar_t* outputPath);

    // The standard PNG rebuilt from a CgBI input (before the colour swap),
    // empty for other inputs. Kept until the object goes.
    const uint8_t* RebuiltPng() const { return m_pOutput.get(); }
    uint32_t RebuiltPngLength() const { return m_nOutputLength; }

  private:
    bool ParseChunks();
    void RecompressImageData();
    void RebuildPng();
    void FreeChunks();
    static int SaveImage(const uint8_t* bytes, uint32_t length, const wchar_t* outputPath, bool swapRedBlue);

    std::unique_ptr<uint8_t[]> m_pInput;
    uint32_t m_nInputLength = 0;
    std::unique_ptr<uint8_t[]> m_pOutput;
    uint32_t m_nOutputLength = 0;
    std::vector<PngChunk> m_pChunks;
    size_t m_nChunks = 0;
    bool m_bPlainPng = true;
    // The joined image data, recompressed into one zlib stream.
    std::vector<uint8_t> m_imageData;
};

// True when the bytes begin with the standard PNG signature or its variant
// with 0A in place of 0D.
bool IsPngSignature(const uint8_t* bytes, size_t length);
