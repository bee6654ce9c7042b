// The device multiplexer's address, and asking it which devices it sees
// (the question orvexctl doctor and the loader put to it). The multiplexer listens on TCP
// 127.0.0.1:27015, or where USBMUXD_SOCKET_ADDRESS says (HOST:PORT, IPv6 as
// [ADDRESS]:PORT). A message is a 16-byte little-endian header (length of
// the whole message, version 1, message 8 = property list, tag) and an XML
// property list.
#pragma once

#include "backend/cf.h"
#include "backend/socket.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

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

// The whole ListDevices request, header included.
std::string ListDevicesRequest(uint32_t tag);

// The length a reply header announces, or 0 when the header is not a
// property-list reply to `tag` of a plausible size.
uint32_t ReplyLength(const unsigned char header[16], uint32_t tag);

// The number of entries of the array DeviceList in the top dictionary of an
// XML property list, or -1 when there is none or the text is not such a
// list.
int CountListedDevices(const std::string& body);

// ---- the multiplexer client ----------------------------------------------------

constexpr uint16_t kLockdownPort = 62078;

// One connection to the multiplexer speaking its property-list messages,
// until a Connect turns it into a pipe to a device (Release).
class MuxChannel {
  public:
    // Connects within `timeoutMilliseconds`; null with the reason otherwise.
    static std::unique_ptr<MuxChannel> Open(unsigned timeoutMilliseconds, std::string* error);

    // Sends the request `type` with the fields of `fields` (may be null) and
    // the client's names, and reads the reply to it within the timeout:
    // owned, null with the reason on failure.
    // `silent`, when given, tells a multiplexer that did not answer in time
    // from one that closed the connection or broke the framing.
    Owned<CFDictionaryRef> Exchange(const char* type, CFDictionaryRef fields, std::string* error,
                                    bool* silent = nullptr);
    bool Send(const char* type, CFDictionaryRef fields, uint32_t tag, std::string* error);

    enum class Next { Message, Quiet, Failed };
    // The next message: Quiet when nothing starts to come within
    // `waitMilliseconds`; once it starts, the whole of it within the timeout.
    Next Receive(unsigned waitMilliseconds, Owned<CFDictionaryRef>* message, uint32_t* tag, std::string* error);

    SOCKET socket() const { return m_socket.get(); }
    SOCKET Release() { return m_socket.release(); }

  private:
    MuxChannel() = default;
    Socket m_socket;
    unsigned m_timeout = 0;
    uint32_t m_lastTag = 0;
};

// Closes the connection kept for pair records (Shutdown).
void CloseKeptMultiplexerConnection();

// A `Result` reply's number; -1 when the reply is no result.
int64_t ResultNumber(CFDictionaryRef reply);

struct MuxDevice {
    uint32_t id = 0;
    std::string udid;
};
// The device of an `Attached` message (or a DeviceList entry); false when
// it names none.
bool DeviceOfMessage(CFDictionaryRef message, MuxDevice* device);

bool ListDevices(std::vector<MuxDevice>* devices, std::string* error);
// The host's system identifier.
bool ReadBuid(std::string* buid, std::string* error);
enum class Record { Found, Missing, Failed };
// The pair record of `udid` as the multiplexer keeps it (a dictionary).
Record ReadPairRecord(const std::string& udid, Owned<CFDictionaryRef>* record, std::string* error);
bool SavePairRecord(const std::string& udid, uint32_t deviceId, CFDictionaryRef record, std::string* error);

} // namespace backend
