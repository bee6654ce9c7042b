// The file service's packets: a 40-byte little-endian header (the magic
// "CFA6LPAA", the whole length, the length of header and parameters, the
// packet number and the operation), the parameters, then the payload.
#pragma once

#include <cstddef>
#include <cstdint>

namespace backend::afc {

constexpr size_t kHeaderSize = 40;
extern const char kMagic[8];

// The most one request may ask the device to read, and the most one write
// request carries: the chunks large transfers are split into.
constexpr uint64_t kMostRead = 8u * 1024 * 1024;
constexpr uint64_t kMostWrite = 8u * 1024 * 1024;
// The longest listing or attribute list taken from the device.
constexpr uint64_t kMostTextReply = 16u * 1024 * 1024;
// The longest parameters of a status or handle reply.
constexpr uint64_t kMostSmallReply = 4096;

enum Operation : uint64_t {
    kStatus = 0x01,
    kData = 0x02,
    kReadDirectory = 0x03,
    kRemovePath = 0x08,
    kMakeDirectory = 0x09,
    kGetFileInfo = 0x0A,
    kGetDeviceInfo = 0x0B,
    kFileOpen = 0x0D,
    kFileOpenResult = 0x0E,
    kFileRead = 0x0F,
    kFileWrite = 0x10,
    kFileSeek = 0x11,
    kFileTell = 0x12,
    kFileTellResult = 0x13,
    kFileClose = 0x14,
    kRenamePath = 0x18,
};

// The device's status codes, which the AFC calls return as they are.
enum Code : int {
    kSuccess = 0,
    kUnknownError = 1,
    kBadHeader = 2,
    kNoResources = 3,
    kReadError = 4,
    kWriteError = 5,
    kInvalidArgument = 7,
    kObjectNotFound = 8,
    kPermissionDenied = 10,
    kServiceNotConnected = 11,
    kTimeout = 12,
    kTooMuchData = 13,
    kInternalError = 23,
    kMultiplexerError = 30,
    kNoMemory = 31,
};

enum Whence : uint64_t { kSeekSet = 0, kSeekCurrent = 1, kSeekEnd = 2 };

struct Header {
    uint64_t entireLength = 0; // header + parameters + payload
    uint64_t thisLength = 0;   // header + parameters
    uint64_t number = 0;
    uint64_t operation = 0;
};

void PutLittle64(unsigned char* out, uint64_t value);
uint64_t GetLittle64(const unsigned char* in);

// Writes the header into kHeaderSize bytes at `out`.
void EncodeHeader(const Header& header, unsigned char* out);
// Reads a header; false when the magic is wrong or the lengths disagree
// (this length below the header or above the whole length).
bool DecodeHeader(const unsigned char* in, Header* out);

} // namespace backend::afc
