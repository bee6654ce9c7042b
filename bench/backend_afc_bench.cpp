// Throughput of the built-in backend's file service client: a 64 MiB file
// written to a simulated device and read back through the backend's AFC
// calls in the device library's 2048-byte chunks, beside raw AFC packets of
// 8 MiB (the most one request carries) over the same in-process file
// service in the same run; best of three rounds each.
//
//   scripts/wine-run build/bin/backend-afc-bench.exe [MiB]
#include "backend/afc.h"
#include "sim/wire/afc_protocol.h"
#include "tests/sim/wire/wire_support.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

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

struct Times {
    double write = -1, read = -1;
};

std::unique_ptr<wiretest::ServedConnection> Serve(const simwire::ServiceContext& context) {
    return std::make_unique<wiretest::ServedConnection>(
        [context](simwire::Stream& stream) { simwire::ServeFileService(stream, context, false); });
}

// Raw packets: each request of `chunk` bytes waits for its answer.
Times Raw(const simwire::ServiceContext& context, const std::string& data, size_t chunk) {
    Times times;
    auto served = Serve(context);
    AfcClient afc(served->client());
    uint64_t handle = 0;
    LARGE_INTEGER start = Now();
    if (afc.Open("/raw.bin", 3, &handle) != 0)
        return times;
    for (size_t at = 0; at < data.size(); at += chunk) {
        if (afc.Write(handle, data.data() + at, std::min(chunk, data.size() - at)) != 0)
            return times;
    }
    if (afc.Close(handle) != 0)
        return times;
    times.write = Seconds(start);
    std::string back, piece;
    back.reserve(data.size());
    start = Now();
    if (afc.Open("/raw.bin", 1, &handle) != 0)
        return times;
    while (back.size() < data.size()) {
        if (afc.Read(handle, chunk, &piece) != 0 || piece.empty())
            return times;
        back += piece;
    }
    afc.Close(handle);
    const double seconds = Seconds(start);
    if (back == data)
        times.read = seconds;
    return times;
}

// The backend's calls, `chunk` bytes a call.
Times Backend(const simwire::ServiceContext& context, const std::string& data, size_t chunk) {
    Times times;
    auto served = Serve(context);
    afc_connection* afc = backend::OpenAfcConnection(backend::PlainSocketPipe(served->client(), 15000));
    afc_file_ref ref = 0;
    LARGE_INTEGER start = Now();
    bool ok = backend::AFCFileRefOpen(afc, "/backend.bin", 3, &ref) == 0;
    for (size_t at = 0; ok && at < data.size(); at += chunk)
        ok = backend::AFCFileRefWrite(afc, ref, data.data() + at,
                                      static_cast<unsigned>(std::min(chunk, data.size() - at))) == 0;
    ok = ok && backend::AFCFileRefClose(afc, ref) == 0;
    if (ok)
        times.write = Seconds(start);
    std::string back(data.size(), '\0');
    size_t have = 0;
    start = Now();
    ok = ok && backend::AFCFileRefOpen(afc, "/backend.bin", 1, &ref) == 0;
    while (ok && have < data.size()) {
        unsigned length = static_cast<unsigned>(std::min(chunk, data.size() - have));
        ok = backend::AFCFileRefRead(afc, ref, &back[have], &length) == 0 && length > 0;
        have += length;
    }
    if (ok) {
        backend::AFCFileRefClose(afc, ref);
        if (back == data)
            times.read = Seconds(start);
    }
    backend::AFCConnectionClose(afc);
    return times;
}

double Rate(double bytes, double seconds) { return seconds > 0 ? bytes / seconds / 1e6 : 0; }

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
    const size_t rawChunk = static_cast<size_t>(simwire::kMostAfcRead);
    Times raw{1e9, 1e9}, small{1e9, 1e9}, large{1e9, 1e9};
    auto best = [](Times* into, const Times& t) {
        into->write = std::min(into->write, t.write);
        into->read = std::min(into->read, t.read);
        return t.write >= 0 && t.read >= 0;
    };
    for (int round = 0; round < 3; ++round) {
        if (!best(&raw, Raw(context, data, rawChunk)) || !best(&small, Backend(context, data, 2048)) ||
            !best(&large, Backend(context, data, rawChunk))) {
            std::printf("FAILED: a transfer failed or the bytes did not come back equal\n");
            return 1;
        }
    }
    std::printf("%zu MiB, best of 3 rounds; MB/s (10^6 bytes per second)\n", mib);
    std::printf("| | raw AFC, 8 MiB requests | backend calls of 2048 bytes | of 8 MiB | 2048-byte calls / raw |\n");
    std::printf("|---|---|---|---|---|\n");
    const double n = static_cast<double>(data.size());
    std::printf("| upload | %.0f | %.0f | %.0f | %.0f%% |\n", Rate(n, raw.write), Rate(n, small.write),
                Rate(n, large.write), 100 * raw.write / small.write);
    std::printf("| download | %.0f | %.0f | %.0f | %.0f%% |\n", Rate(n, raw.read), Rate(n, small.read),
                Rate(n, large.read), 100 * raw.read / small.read);
    return 0;
}
