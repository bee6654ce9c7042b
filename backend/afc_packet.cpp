#include "backend/afc_packet.h"

#include <cstring>

namespace backend::afc {

const char kMagic[8] = {'C', 'F', 'A', '6', 'L', 'P', 'A', 'A'};

void PutLittle64(unsigned char* out, uint64_t value) {
    for (int i = 0; i < 8; ++i)
        out[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint64_t GetLittle64(const unsigned char* in) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = (value << 8) | in[i];
    return value;
}

void EncodeHeader(const Header& header, unsigned char* out) {
    std::memcpy(out, kMagic, sizeof kMagic);
    PutLittle64(out + 8, header.entireLength);
    PutLittle64(out + 16, header.thisLength);
    PutLittle64(out + 24, header.number);
    PutLittle64(out + 32, header.operation);
}

bool DecodeHeader(const unsigned char* in, Header* out) {
    if (std::memcmp(in, kMagic, sizeof kMagic) != 0)
        return false;
    Header h;
    h.entireLength = GetLittle64(in + 8);
    h.thisLength = GetLittle64(in + 16);
    h.number = GetLittle64(in + 24);
    h.operation = GetLittle64(in + 32);
    if (h.thisLength < kHeaderSize || h.thisLength > h.entireLength)
        return false;
    *out = h;
    return true;
}

} // namespace backend::afc
