// Seeded mutation run of the file service on the wire.
//
//   wire-afc-mutate [--count N] [--seed S]
//
// Serves a fresh farm's handset (both file services in turn) on loopback
// connections and sends N messages: valid requests and mutants of them
// (bytes flipped, lengths replaced by small, huge or disagreeing ones,
// operations changed, packets cut, noise), a few dozen per connection. A
// crash ends the run; so does a service that neither answers nor closes in
// time, an answer that is not a well-framed packet, or a file that appears
// outside the device's folder. Prints the tally; exits non-zero on failure.
#include "bench/seeded_random.h"
#include "sim/wire/afc_protocol.h"
#include "tests/sim/wire/wire_support.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

namespace {

using wiretest::AfcClient;
namespace afc = simwire::afc;

const DWORD kPatience = 15000; // a service silent this long has hung

using Random = SeededRandom;

std::string Packet(uint64_t number, uint64_t operation, const std::string& parameters, const std::string& payload) {
    simwire::AfcHeader h;
    h.thisLength = simwire::kAfcHeaderSize + parameters.size();
    h.entireLength = h.thisLength + payload.size();
    h.number = number;
    h.operation = operation;
    std::string packet(simwire::kAfcHeaderSize, '\0');
    simwire::EncodeAfcHeader(h, reinterpret_cast<unsigned char*>(packet.data()));
    return packet + parameters + payload;
}

// A valid request on a small set of names, so that requests meet each
// other's files and handles.
std::string ValidRequest(Random& r, uint64_t number) {
    using C = AfcClient;
    const std::string name = "/m" + std::to_string(r.Below(4)) + "/f" + std::to_string(r.Below(6));
    const std::string folder = "/m" + std::to_string(r.Below(4));
    const uint64_t handle = 1 + r.Below(4);
    switch (r.Below(17)) {
    case 0:
        return Packet(number, afc::kReadDirectory, C::Z(r.Below(2) ? folder : "/"), "");
    case 1:
        return Packet(number, afc::kGetFileInfo, C::Z(name), "");
    case 2:
        return Packet(number, afc::kMakeDirectory, C::Z(folder), "");
    case 3:
        return Packet(number, afc::kFileOpen, C::U64(1 + r.Below(6)) + C::Z(name), "");
    case 4:
        return Packet(number, afc::kFileWrite, C::U64(handle), std::string(r.Below(3000), 'w'));
    case 5:
        return Packet(number, afc::kFileRead, C::U64(handle) + C::U64(r.Below(5000)), "");
    case 6:
        return Packet(number, afc::kFileSeek, C::U64(handle) + C::U64(r.Below(3)) + C::U64(r.Below(4000)), "");
    case 7:
        return Packet(number, afc::kFileTell, C::U64(handle), "");
    case 8:
        return Packet(number, afc::kFileClose, C::U64(handle), "");
    case 9:
        return Packet(number, afc::kFileSetSize, C::U64(handle) + C::U64(r.Below(10000)), "");
    case 10:
        return Packet(number, afc::kRenamePath, C::Z(name) + C::Z(folder + "/r"), "");
    case 11:
        return Packet(number, afc::kRemovePath, C::Z(name), "");
    case 12:
        return Packet(number, afc::kMakeLink, C::U64(1 + r.Below(2)) + C::Z(name) + C::Z(folder + "/l"), "");
    case 13:
        return Packet(number, afc::kSetFileTime, C::U64(r.Next() >> 8) + C::Z(name), "");
    case 14:
        return Packet(number, afc::kGetDeviceInfo, "", "");
    case 15:
        return Packet(number, afc::kFileLock, C::U64(handle) + C::U64(2 | 4), "");
    default:
        return Packet(number, afc::kRemovePathAndContents, C::Z(folder), "");
    }
}

std::string Mutate(Random& r, std::string packet) {
    const uint64_t lengths[] = {0,
                                8,
                                39,
                                40,
                                41,
                                47,
                                48,
                                0xFFFFFFFFull,
                                0x100000000ull,
                                0x7FFFFFFFFFFFFFFFull,
                                ~0ull,
                                simwire::kMostAfcPacket,
                                simwire::kMostAfcPacket + 1,
                                1u << 20};
    switch (r.Below(8)) {
    case 0: // flipped bytes
        for (size_t n = 1 + r.Below(4); n > 0 && !packet.empty(); --n)
            packet[r.Below(packet.size())] ^= static_cast<char>(1 + r.Below(255));
        return packet;
    case 1: // the whole length replaced
        simwire::PutLittle64(reinterpret_cast<unsigned char*>(&packet[8]), lengths[r.Below(std::size(lengths))]);
        return packet;
    case 2: // the header length replaced
        simwire::PutLittle64(reinterpret_cast<unsigned char*>(&packet[16]), lengths[r.Below(std::size(lengths))]);
        return packet;
    case 3: // another operation
        simwire::PutLittle64(reinterpret_cast<unsigned char*>(&packet[32]), r.Below(3) ? r.Below(0x40) : r.Next());
        return packet;
    case 4: // cut short
        return packet.substr(0, r.Below(packet.size()));
    case 5: { // parameters cut or extended, lengths kept
        size_t at = simwire::kAfcHeaderSize + r.Below(packet.size() - simwire::kAfcHeaderSize + 1);
        return r.Below(2) ? packet.substr(0, at) : packet.insert(at, std::string(1 + r.Below(64), '\xff'));
    }
    case 6: { // noise
        std::string noise(r.Below(200), '\0');
        for (char& c : noise)
            c = static_cast<char>(r.Next());
        return noise;
    }
    default: // some NULs after the header (the ends of texts) replaced
        for (size_t i = simwire::kAfcHeaderSize; i < packet.size(); ++i) {
            if (packet[i] == '\0' && r.Below(2))
                packet[i] = 'x';
        }
        return packet;
    }
}

struct Tally {
    size_t messages = 0, mutants = 0, replies = 0, connections = 0, failures = 0;
};

// Reads replies until the service closes; false when one is not a
// well-framed packet or the service stays silent too long.
bool ReadReplies(SOCKET socket, size_t* replies, std::string* problem) {
    for (;;) {
        unsigned char head[simwire::kAfcHeaderSize];
        int got = 0;
        size_t have = 0;
        while (have < sizeof head && (got = ::recv(socket, reinterpret_cast<char*>(head) + have,
                                                   static_cast<int>(sizeof head - have), 0)) > 0)
            have += static_cast<size_t>(got);
        if (have == 0 && got == 0)
            return true; // closed between packets
        if (have < sizeof head) {
            *problem = got < 0 && ::WSAGetLastError() == WSAETIMEDOUT ? "the service hung" : "a cut reply";
            return false;
        }
        simwire::AfcHeader h;
        if (!simwire::DecodeAfcHeader(head, &h) || h.entireLength > simwire::kAfcHeaderSize + simwire::kMostAfcRead) {
            *problem = "a reply that is no packet";
            return false;
        }
        std::string rest(static_cast<size_t>(h.entireLength - simwire::kAfcHeaderSize), '\0');
        for (size_t at = 0; at < rest.size(); at += static_cast<size_t>(got)) {
            got = ::recv(socket, &rest[at], static_cast<int>(rest.size() - at), 0);
            if (got <= 0) {
                *problem = "a cut reply";
                return false;
            }
        }
        ++*replies;
    }
}

bool OnlyDeviceFiles(const std::wstring& farm, const std::string& udid) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry;
    for (const std::wstring& folder : {farm, farm + L"\\" + std::wstring(udid.begin(), udid.end())}) {
        HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &entry);
        if (find == INVALID_HANDLE_VALUE)
            return false;
        do {
            std::wstring name = entry.cFileName;
            if (name != L"." && name != L"..")
                names.push_back(name);
        } while (::FindNextFileW(find, &entry));
        ::FindClose(find);
    }
    for (const std::wstring& name : names) {
        if (name != L"farm.lock" && name != L"device.plist" && name != L"root" &&
            name != std::wstring(udid.begin(), udid.end()))
            return false;
    }
    return true;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    size_t count = 10000;
    uint64_t seed = 1;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::wcscmp(argv[i], L"--count") == 0)
            count = static_cast<size_t>(std::wcstoull(argv[i + 1], nullptr, 10));
        else if (std::wcscmp(argv[i], L"--seed") == 0)
            seed = std::wcstoull(argv[i + 1], nullptr, 10);
    }
    wiretest::ScratchFarm farm;
    if (!farm.ok()) {
        std::fprintf(stderr, "no farm: %s\n", farm.error().c_str());
        return 2;
    }
    Random r(seed);
    Tally tally;
    std::string problem;
    while (tally.messages < count && problem.empty()) {
        const bool privileged = tally.connections % 2 == 0;
        const simwire::ServiceContext context = farm.context();
        wiretest::ServedConnection served([&context, privileged](simwire::Stream& stream) {
            simwire::ServeFileService(stream, context, privileged);
        });
        if (!served.ok()) {
            problem = "no loopback connection";
            break;
        }
        ++tally.connections;
        wiretest::SetReadTimeout(served.client(), kPatience);
        size_t replies = 0;
        std::string readProblem;
        std::thread reader([&] {
            if (!ReadReplies(served.client(), &replies, &readProblem))
                ::shutdown(served.client(), SD_BOTH);
        });
        const size_t batch = 1 + r.Below(16);
        for (size_t i = 0; i < batch && tally.messages < count; ++i, ++tally.messages) {
            std::string packet = ValidRequest(r, tally.messages);
            if (r.Below(10) < 3) {
                packet = Mutate(r, packet);
                ++tally.mutants;
            }
            if (::send(served.client(), packet.data(), static_cast<int>(packet.size()), 0) !=
                static_cast<int>(packet.size()))
                break; // the service closed the connection: the rest of the batch goes to the next
        }
        ::shutdown(served.client(), SD_SEND);
        reader.join();
        tally.replies += replies;
        if (!readProblem.empty())
            problem = readProblem;
        else if (!served.WaitFinished(kPatience))
            problem = "the service did not return after the client closed";
        if (!problem.empty())
            ++tally.failures;
    }
    if (problem.empty() && !OnlyDeviceFiles(farm.folder(), farm.udid())) {
        problem = "a file appeared outside the device's folder";
        ++tally.failures;
    }
    std::printf(
        "wire-afc-mutate: seed %llu, %zu messages (%zu mutants) on %zu connections, %zu replies, %zu failures\n",
        static_cast<unsigned long long>(seed), tally.messages, tally.mutants, tally.connections, tally.replies,
        tally.failures);
    if (!problem.empty())
        std::printf("FAILED after message %zu: %s\n", tally.messages, problem.c_str());
    return problem.empty() ? 0 : 1;
}
