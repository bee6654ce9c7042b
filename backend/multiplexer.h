// The device multiplexer's address, and asking it which devices it sees
// (the question orvexctl doctor and the loader put to it). The multiplexer listens on TCP
// 127.0.0.1:27015, or where USBMUXD_SOCKET_ADDRESS says (HOST:PORT, IPv6 as
// [ADDRESS]:PORT). A message is a 16-byte little-endian header (length of
// the whole message, version 1, message 8 = property list, tag) and an XML
// property list.
#pragma once

#include <cstdint>
#include <string>

namespace backend {

constexpr wchar_t kMultiplexerVariable[] = L"USBMUXD_SOCKET_ADDRESS";
constexpr wchar_t kDefaultMultiplexerAddress[] = L"127.0.0.1:27015";
// A reply longer than this is not the multiplexer's.
constexpr uint32_t kMaxMultiplexerMessage = 1 << 20;

struct MultiplexerAnswer {
    std::wstring address;  // what was asked
    bool answered = false; // a reply with a device list came
    int devices = 0;       // how many it lists (when answered)
    std::wstring problem;  // why not, in words (when not answered)
};

// Asks the multiplexer at `address` (empty: the variable, else the default)
// for its device list, waiting `timeoutMilliseconds` at most in all.
MultiplexerAnswer AskMultiplexer(std::wstring address, unsigned timeoutMilliseconds);

// HOST:PORT or [IPV6]:PORT into its parts; false with the reason otherwise.
bool SplitMultiplexerAddress(const std::wstring& address, std::string* host, std::string* port, std::wstring* error);

// The whole ListDevices request, header included.
std::string ListDevicesRequest(uint32_t tag);

// The length a reply header announces, or 0 when the header is not a
// property-list reply to `tag` of a plausible size.
uint32_t ReplyLength(const unsigned char header[16], uint32_t tag);

// The number of entries of the array DeviceList in the top dictionary of an
// XML property list, or -1 when there is none or the text is not such a
// list.
int CountListedDevices(const std::string& body);

} // namespace backend
