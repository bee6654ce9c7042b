// The file service's packets on the wire: a 40-byte little-endian header
// (the magic "CFA6LPAA", then the whole length, the length of header and
// parameters, the packet number and the operation), the parameters, then
// the payload.
#pragma once

#include "backend/afc_packet.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace simwire {

// The framing is the product's own (backend/afc_packet.h).
constexpr size_t kAfcHeaderSize = backend::afc::kHeaderSize;
inline constexpr const char (&kAfcMagic)[8] = backend::afc::kMagic;

// The largest packet taken from a client; a longer one closes the connection.
constexpr uint64_t kMostAfcPacket = 32u * 1024 * 1024;
// The most one read request delivers (a larger request gets this much).
constexpr uint64_t kMostAfcRead = 8u * 1024 * 1024;

namespace afc {
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
    kFileSetSize = 0x15,
    kRenamePath = 0x18,
    kFileLock = 0x1B,
    kMakeLink = 0x1C,
    kSetFileTime = 0x1E,
    kRemovePathAndContents = 0x22,
};
enum LinkKind : uint64_t { kHardLink = 1, kSymbolicLink = 2 };
} // namespace afc

using AfcHeader = backend::afc::Header;
using backend::afc::GetLittle64;
using backend::afc::PutLittle64;

// Writes the header into 40 bytes at `out`.
inline void EncodeAfcHeader(const AfcHeader& header, unsigned char* out) { backend::afc::EncodeHeader(header, out); }
// Reads a header; false when the magic is wrong or the lengths disagree
// (this length below the header or above the whole length).
inline bool DecodeAfcHeader(const unsigned char* in, AfcHeader* out) { return backend::afc::DecodeHeader(in, out); }

} // namespace simwire
