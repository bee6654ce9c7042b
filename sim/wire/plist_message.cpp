// Property-list framing shared by lockdown and the property-list services.
#include "sim/wire/stream.h"

namespace simwire {

bool ReadPlistMessage(Stream& stream, simfarm::Value* out, std::string* error) {
    unsigned char head[4];
    if (!stream.ReadExact(head, sizeof head)) {
        if (error)
            *error = "connection closed";
        return false;
    }
    uint32_t size = (uint32_t(head[0]) << 24) | (uint32_t(head[1]) << 16) | (uint32_t(head[2]) << 8) | head[3];
    if (size == 0 || size > kMostPlistMessage) {
        if (error)
            *error = "bad message length " + std::to_string(size);
        return false;
    }
    std::string body(size, '\0');
    if (!stream.ReadExact(body.data(), size)) {
        if (error)
            *error = "connection closed inside a message";
        return false;
    }
    simfarm::Value value;
    if (!simfarm::ReadPlist(body, &value, error))
        return false;
    *out = std::move(value);
    return true;
}

bool WritePlistMessage(Stream& stream, const simfarm::Value& value) {
    std::string xml;
    if (!simfarm::WriteXmlPlist(value, &xml) || xml.size() > kMostPlistMessage)
        return false;
    uint32_t size = static_cast<uint32_t>(xml.size());
    unsigned char head[4] = {static_cast<unsigned char>(size >> 24), static_cast<unsigned char>(size >> 16),
                             static_cast<unsigned char>(size >> 8), static_cast<unsigned char>(size)};
    return stream.WriteAll(head, sizeof head) && stream.WriteAll(xml.data(), xml.size());
}

} // namespace simwire
