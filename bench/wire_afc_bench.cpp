// Throughput of the file service on the wire: a 64 MiB file written to a
// simulated device and read back with AFC packets over a loopback TCP
// connection, beside a plain loopback TCP copy of the same bytes made by
// this program in the same run; best of three rounds each, for a few
// request sizes, each request waiting for its answer or four in flight.
//
//   scripts/wine-run build/bin/wire-afc-bench.exe [MiB]
#include "sim/wire/afc_protocol.h"
#include "tests/sim/wire/wire_support.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <thread>
#include <utility>

namespace {

using wiretest::AfcClient;

double Seconds(LARGE_INTEGER start) {
    LARGE_INTEGER now, frequency;
    ::QueryPerformanceCounter(&now);
    ::QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

LARGE_INTEGER Now() {
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    return now;
}

// The plain copy: the bytes sent over a loopback connection in `chunk`-sized
// sends and received whole on the other side. Seconds, or a negative value.
double PlainCopy(const std::string& data, size_t chunk) {
    SOCKET a = INVALID_SOCKET, b = INVALID_SOCKET;
    if (!wiretest::SocketPair(&a, &b))
        return -1;
    std::string received(data.size(), '\0');
    bool ok = true;
    LARGE_INTEGER start = Now();
    std::thread receiver([&] {
        size_t have = 0;
        while (have < received.size()) {
            int got = ::recv(b, &received[have], static_cast<int>(std::min(received.size() - have, chunk)), 0);
            if (got <= 0) {
                ok = false;
                return;
            }
            have += static_cast<size_t>(got);
        }
    });
    for (size_t at = 0; at < data.size() && ok; at += chunk) {
        int size = static_cast<int>(std::min(chunk, data.size() - at));
        int sent = 0;
        while (sent < size) {
            int n = ::send(a, data.data() + at + sent, size - sent, 0);
            if (n <= 0) {
                ok = false;
                break;
            }
            sent += n;
        }
    }
    receiver.join();
    double seconds = Seconds(start);
    ::closesocket(a);
    ::closesocket(b);
    return ok && received == data ? seconds : -1;
}

struct WireTimes {
    double write = -1, read = -1;
};

// The file written and read back with up to `depth` requests in flight (1:
// each request waits for its answer, as simple clients do).
WireTimes OverTheWire(const simwire::ServiceContext& context, const std::string& data, size_t chunk, size_t depth) {
    WireTimes times;
    wiretest::ServedConnection served(
        [&context](simwire::Stream& stream) { simwire::ServeFileService(stream, context, false); });
    if (!served.ok())
        return times;
    AfcClient afc(served.client());
    const size_t requests = (data.size() + chunk - 1) / chunk;
    uint64_t handle = 0;
    LARGE_INTEGER start = Now();
    if (afc.Open("/bench.bin", 3, &handle) != 0)
        return times;
    for (size_t sent = 0, answered = 0; answered < requests;) {
        for (; sent < requests && sent - answered < depth; ++sent) {
            size_t at = sent * chunk;
            if (!afc.Send(simwire::afc::kFileWrite, AfcClient::U64(handle), data.data() + at,
                          std::min(chunk, data.size() - at)))
                return times;
        }
        if (afc.Receive().status() != 0)
            return times;
        ++answered;
    }
    if (afc.Close(handle) != 0)
        return times;
    times.write = Seconds(start);

    std::string back(data.size(), '\0');
    size_t have = 0;
    start = Now();
    if (afc.Open("/bench.bin", 1, &handle) != 0)
        return times;
    for (size_t sent = 0, answered = 0; answered < requests;) {
        for (; sent < requests && sent - answered < depth; ++sent) {
            if (!afc.Send(simwire::afc::kFileRead, AfcClient::U64(handle) + AfcClient::U64(chunk)))
                return times;
        }
        wiretest::AfcReply reply = afc.Receive();
        if (!reply.received || reply.operation != simwire::afc::kData || have + reply.payload.size() > back.size())
            return times;
        std::memcpy(&back[have], reply.payload.data(), reply.payload.size());
        have += reply.payload.size();
        ++answered;
    }
    afc.Close(handle);
    double seconds = Seconds(start);
    if (have == data.size() && back == data)
        times.read = seconds;
    return times;
}

double Rate(size_t bytes, double seconds) { return seconds > 0 ? static_cast<double>(bytes) / seconds / 1e6 : 0; }

} // namespace

int wmain(int argc, wchar_t** argv) {
    const size_t mib = argc > 1 ? static_cast<size_t>(std::wcstoul(argv[1], nullptr, 10)) : 64;
    std::string data(mib << 20, '\0');
    uint32_t x = 12345;
    for (char& c : data) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    wiretest::ScratchFarm farm;
    if (!farm.ok()) {
        std::fprintf(stderr, "no farm: %s\n", farm.error().c_str());
        return 2;
    }
    const simwire::ServiceContext context = farm.context();
    std::printf("%zu MiB, best of 3 rounds; MB/s (10^6 bytes per second)\n", mib);
    std::printf(
        "| request size | requests in flight | plain loopback copy | AFC write | AFC read back | write / plain | "
        "read / plain |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    bool failed = false;
    const std::pair<size_t, size_t> cases[] = {
        {size_t(8) << 10, 1}, {size_t(64) << 10, 1}, {size_t(1) << 20, 1}, {size_t(64) << 10, 4}, {size_t(1) << 20, 4}};
    for (const auto& c : cases) {
        const size_t chunk = c.first, depth = c.second;
        double plain = 1e9, write = 1e9, read = 1e9;
        for (int round = 0; round < 3; ++round) {
            double p = PlainCopy(data, chunk);
            WireTimes w = OverTheWire(context, data, chunk, depth);
            if (p < 0 || w.write < 0 || w.read < 0) {
                failed = true;
                break;
            }
            plain = std::min(plain, p);
            write = std::min(write, w.write);
            read = std::min(read, w.read);
        }
        if (failed)
            break;
        double p = Rate(data.size(), plain), w = Rate(data.size(), write), r = Rate(data.size(), read);
        std::printf("| %zu KiB | %zu | %.0f | %.0f | %.0f | %.0f%% | %.0f%% |\n", chunk >> 10, depth, p, w, r,
                    100 * w / p, 100 * r / p);
        std::fflush(stdout);
    }
    if (failed)
        std::printf("FAILED: a transfer failed or the bytes did not come back equal\n");
    return failed ? 1 : 0;
}
