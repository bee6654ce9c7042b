// The device library's file exports against the simulated device farm,
// each beside the farm's raw file service doing the same work in the same
// run (2048-byte chunks, no library code):
//   - one 64 MiB file uploaded and downloaded (MB/s), and how much the
//     process's private memory grows during the library's transfer;
//   - a tree of 5,000 files of 4 KiB uploaded and downloaded;
//   - a folder of 10,000 entries listed (names and attributes);
//   - a tree of 10,000 entries deleted.
//
//   scripts/wine-run build/bin/device-files-bench.exe [MiB] [file,tree,list,delete]
#include "platform/file.h"
#include "platform/handles.h"
#include "platform/text.h"
#include "tests/device/device_dll.h"
#include "tests/device/raw_afc.h"
#include "tests/support/farm.h"

#include <psapi.h>
#include <windows.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace {

const unsigned kChunk = 2048;
const int kRounds = 3;     // listing: best of three
const int kFileRounds = 5; // single file: best of five, the variants taking turns
const int kTreeFiles = 5000;
const size_t kTreeFileSize = 4096;
const int kFolderEntries = 10000;
const char kMedia[] = "/var/mobile/Media";

struct Failure {
    const char* step;
};

void Check(bool ok, const char* step) {
    if (!ok)
        throw Failure{step};
}

double Seconds() {
    LARGE_INTEGER now, frequency;
    ::QueryPerformanceCounter(&now);
    ::QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Processor time of the process (the stand-in farm runs in it too; the
// Wine server's share of file work is not counted).
double ProcessorSeconds() {
    FILETIME created, exited, kernel, user;
    ::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto seconds = [](const FILETIME& t) {
        return static_cast<double>((uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

// The best wall-clock and the best processor time of the rounds timed.
struct Fastest {
    double best = 1e30;
    double processor = 1e30;
    void Time(const std::function<void()>& work) {
        double cpu = ProcessorSeconds();
        double start = Seconds();
        work();
        best = std::min(best, Seconds() - start);
        processor = std::min(processor, std::max(0.0, ProcessorSeconds() - cpu));
    }
};

Fastest Best(int rounds, const std::function<void()>& prepare, const std::function<void()>& work) {
    Fastest fastest;
    for (int round = 0; round < rounds; ++round) {
        if (prepare)
            prepare();
        fastest.Time(work);
    }
    return fastest;
}

size_t PrivateBytes() {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    ::GetProcessMemoryInfo(::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                           sizeof counters);
    return counters.PrivateUsage;
}

// A caller's progress callback that only counts, for the speed figures.
unsigned g_calls = 0;
void CountProgress(const wchar_t*, const wchar_t*, unsigned int) { ++g_calls; }

// The highest private memory seen by the progress callback (sampled), for
// the memory figure.
size_t g_peakPrivate = 0;
void SampleMemory(const wchar_t*, const wchar_t*, unsigned int) {
    if (++g_calls % 256 == 0)
        g_peakPrivate = std::max(g_peakPrivate, PrivateBytes());
}

// ---- devices the library announced ----------------------------------------

std::mutex g_lock;
std::condition_variable g_changed;
std::set<std::wstring> g_arrived;

void OnArrived(const wchar_t* identifier) {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_arrived.insert(identifier);
    }
    g_changed.notify_all();
}
void OnRemoved(const wchar_t*) {}

bool WaitForArrival(const std::wstring& udid) {
    std::unique_lock<std::mutex> lock(g_lock);
    return g_changed.wait_for(lock, std::chrono::seconds(10), [&] { return g_arrived.count(udid) > 0; });
}

// ---- raw file service, the reference ---------------------------------------

struct Raw {
    const testfarm::RawAfc& afc;
    afc_connection* c() const { return afc.connection(); }
    const testfarm::DeviceCalls& md() const { return afc.md(); }

    void WriteFromMemory(const char* path, const char* data, size_t size) const {
        afc_file_ref ref = 0;
        Check(md().AFCFileRefOpen(c(), path, AFC_FOPEN_WRONLY, &ref) == 0, "raw open for writing");
        for (size_t done = 0; done < size; done += kChunk) {
            unsigned n = static_cast<unsigned>(std::min<size_t>(kChunk, size - done));
            Check(md().AFCFileRefWrite(c(), ref, data + done, n) == 0, "raw write");
        }
        md().AFCFileRefClose(c(), ref);
    }
    void WriteFromFile(const char* path, const std::wstring& local) const {
        UniqueHandle file(::CreateFileW(local.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        Check(static_cast<bool>(file), "raw local open");
        afc_file_ref ref = 0;
        Check(md().AFCFileRefOpen(c(), path, AFC_FOPEN_WRONLY, &ref) == 0, "raw open for writing");
        char buffer[kChunk];
        DWORD got = 0;
        while (::ReadFile(file.get(), buffer, kChunk, &got, nullptr) && got > 0)
            Check(md().AFCFileRefWrite(c(), ref, buffer, got) == 0, "raw write");
        md().AFCFileRefClose(c(), ref);
    }
    size_t ReadToMemory(const char* path, char* data, size_t size) const {
        afc_file_ref ref = 0;
        Check(md().AFCFileRefOpen(c(), path, AFC_FOPEN_RW, &ref) == 0, "raw open for reading");
        size_t got = 0;
        while (got < size) {
            unsigned n = static_cast<unsigned>(std::min<size_t>(kChunk, size - got));
            Check(md().AFCFileRefRead(c(), ref, data + got, &n) == 0, "raw read");
            if (n == 0)
                break;
            got += n;
        }
        md().AFCFileRefClose(c(), ref);
        return got;
    }
    void ReadToFile(const char* path, const std::wstring& local) const {
        UniqueHandle file(::CreateFileW(local.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                        FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        Check(static_cast<bool>(file), "raw local create");
        afc_file_ref ref = 0;
        Check(md().AFCFileRefOpen(c(), path, AFC_FOPEN_RW, &ref) == 0, "raw open for reading");
        char buffer[kChunk];
        for (;;) {
            unsigned n = kChunk;
            Check(md().AFCFileRefRead(c(), ref, buffer, &n) == 0, "raw read");
            if (n == 0)
                break;
            DWORD written = 0;
            Check(::WriteFile(file.get(), buffer, n, &written, nullptr) && written == n, "raw local write");
        }
        md().AFCFileRefClose(c(), ref);
    }
    // Names and attribute lists of every entry, as a listing needs them.
    size_t ListWithAttributes(const std::string& folder) const {
        size_t entries = 0;
        for (const std::string& name : afc.List(folder.c_str())) {
            afc_dictionary* list = nullptr;
            Check(md().AFCFileInfoOpen(c(), (folder + "/" + name).c_str(), &list) == 0, "raw attributes");
            char* key = nullptr;
            char* value = nullptr;
            while (md().AFCKeyValueRead(list, &key, &value) == 0 && key) {
            }
            md().AFCKeyValueClose(list);
            ++entries;
        }
        return entries;
    }
    // Post-order removal with one attribute read per entry, as a delete does.
    void RemoveTree(const std::string& path) const {
        afc_dictionary* list = nullptr;
        Check(md().AFCFileInfoOpen(c(), path.c_str(), &list) == 0, "raw attributes");
        bool folder = false;
        char* key = nullptr;
        char* value = nullptr;
        while (md().AFCKeyValueRead(list, &key, &value) == 0 && key) {
            if (std::strcmp(key, "st_ifmt") == 0)
                folder = value && std::strcmp(value, "S_IFDIR") == 0;
        }
        md().AFCKeyValueClose(list);
        if (folder) {
            for (const std::string& name : afc.List(path.c_str()))
                RemoveTree(path + "/" + name);
        }
        Check(md().AFCRemovePath(c(), path.c_str()) == 0, "raw remove");
    }
};

std::string Pattern(size_t size, uint32_t seed) {
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        seed = seed * 1664525u + 1013904223u;
        c = static_cast<char>(seed >> 24);
    }
    return bytes;
}

void WriteLocal(const std::wstring& path, const std::string& bytes) {
    Check(testutil::WriteFileBytes(path, bytes), "writing a local file");
}

// Wall-clock (MB/s or seconds), the library's share, and processor seconds.
void Row(const char* what, const Fastest& raw, const Fastest& library, double megabytes) {
    if (megabytes > 0)
        std::printf("%-44s %9.1f MB/s %9.1f MB/s %6.0f%%", what, megabytes / raw.best, megabytes / library.best,
                    100.0 * raw.best / library.best);
    else
        std::printf("%-44s %9.3f s    %9.3f s    %6.0f%%", what, raw.best, library.best,
                    100.0 * raw.best / library.best);
    std::printf(" %9.3f s %9.3f s\n", raw.processor, library.processor);
}

bool Wanted(const std::wstring& parts, const wchar_t* part) {
    return parts.empty() || parts.find(part) != std::wstring::npos;
}

int Run(int mebibytes, const std::wstring& parts) {
    testutil::DeviceDll dll;
    Check(dll.ok() && dll.LoadDllFunctions() == 1, "loading the device library");
    testfarm::SimulatedFarm farm;
    Check(farm.ok(), "loading the stand-in device library");
    Check(dll.StartListeningDeviceConnections(OnArrived, OnRemoved) == 1, "listening");
    const std::wstring udid = farm.Create(testfarm::kIPhone4S);
    Check(!udid.empty() && WaitForArrival(udid), "plugging in a device");
    const wchar_t* id = udid.c_str();
    testfarm::RawAfc afc(farm, udid);
    Check(afc.ok(), "opening the raw file service");
    const Raw raw{afc};
    testutil::TempDir local;
    const std::string media = kMedia;
    const std::wstring wmedia = Utf8ToWide(kMedia);

    std::printf("device-files-bench: simulated device farm, 2048-byte chunks\n\n");
    std::printf("%-44s %14s %14s %7s %11s %11s\n", "", "raw AFC", "library", "share", "raw cpu", "library cpu");
    char label[96];

    // ---- one large file --------------------------------------------------------
    if (Wanted(parts, L"file")) {
        const size_t size = static_cast<size_t>(mebibytes) << 20;
        const double mb = static_cast<double>(size) / (1024.0 * 1024.0);
        const std::string data = Pattern(size, 7);
        const std::wstring source = local / L"big.bin";
        WriteLocal(source, data);
        const std::string rawPath = media + "/raw.bin";
        const std::string libPath = media + "/big.bin";
        std::vector<char> back(size);

        const std::wstring rawCopy = local / L"raw-copy.bin";
        const std::wstring downFolder = local / L"down";
        Check(::CreateDirectoryW(downFolder.c_str(), nullptr) != 0, "making the download folder");
        const std::wstring devicePath = wmedia + L"/big.bin";
        // The rounds take turns, so that the machine's changing load falls
        // on every variant alike; the best round of each counts.
        Fastest rawUpMemory, rawUpFile, libUp, rawDownMemory, rawDownFile, libDown;
        for (int round = 0; round < kFileRounds; ++round) {
            rawUpMemory.Time([&] { raw.WriteFromMemory(rawPath.c_str(), data.data(), size); });
            rawUpFile.Time([&] { raw.WriteFromFile(rawPath.c_str(), source); });
            libUp.Time([&] {
                Check(dll.UploadDirectoriesAndFilesToDevice(id, source.c_str(), wmedia.c_str(), CountProgress) == 1,
                      "the library's upload");
            });
            rawDownMemory.Time([&] {
                Check(raw.ReadToMemory(libPath.c_str(), back.data(), size) == size, "raw read of the whole file");
            });
            rawDownFile.Time([&] { raw.ReadToFile(libPath.c_str(), rawCopy); });
            libDown.Time([&] {
                Check(dll.DownloadDirectoriesAndFilesFromDevice(id, devicePath.c_str(), downFolder.c_str(),
                                                                CountProgress) == 1,
                      "the library's download");
            });
        }
        Check(std::memcmp(back.data(), data.data(), size) == 0, "the device copy's bytes");
        ::DeleteFileW(rawCopy.c_str());

        // Memory: the highest private usage seen while the library moves
        // the file, against the usage just before.
        size_t before = PrivateBytes();
        g_peakPrivate = before;
        Check(dll.UploadDirectoriesAndFilesToDevice(id, source.c_str(), wmedia.c_str(), SampleMemory) == 1,
              "the library's upload");
        const size_t upGrowth = g_peakPrivate > before ? g_peakPrivate - before : 0;
        before = PrivateBytes();
        g_peakPrivate = before;
        Check(dll.DownloadDirectoriesAndFilesFromDevice(id, devicePath.c_str(), downFolder.c_str(), SampleMemory) == 1,
              "the library's download");
        const size_t downGrowth = g_peakPrivate > before ? g_peakPrivate - before : 0;
        std::string downloaded;
        Check(testutil::ReadFileBytes(downFolder + L"\\big.bin", &downloaded) && downloaded == data,
              "the downloaded bytes");
        downloaded.clear();
        downloaded.shrink_to_fit();

        std::snprintf(label, sizeof label, "upload %d MiB (raw from memory)", mebibytes);
        Row(label, rawUpMemory, libUp, mb);
        std::snprintf(label, sizeof label, "upload %d MiB (raw from a local file)", mebibytes);
        Row(label, rawUpFile, libUp, mb);
        std::snprintf(label, sizeof label, "download %d MiB (raw into memory)", mebibytes);
        Row(label, rawDownMemory, libDown, mb);
        std::snprintf(label, sizeof label, "download %d MiB (raw into a local file)", mebibytes);
        Row(label, rawDownFile, libDown, mb);
        std::printf("private memory growth during the library's transfer: upload %zu KiB, download %zu KiB\n\n",
                    upGrowth / 1024, downGrowth / 1024);
        raw.RemoveTree(rawPath);
        raw.RemoveTree(libPath);
    }

    // ---- a tree of small files ----------------------------------------------------
    if (Wanted(parts, L"tree")) {
        const std::wstring tree = local / L"tree";
        Check(::CreateDirectoryW(tree.c_str(), nullptr) != 0, "making the tree");
        std::vector<std::string> contents;
        for (int folder = 0; folder < kTreeFiles / 100; ++folder) {
            std::wstring sub = tree + L"\\d" + std::to_wstring(folder);
            Check(::CreateDirectoryW(sub.c_str(), nullptr) != 0, "making a tree folder");
            for (int file = 0; file < 100; ++file) {
                contents.push_back(Pattern(kTreeFileSize, static_cast<uint32_t>(folder * 100 + file)));
                WriteLocal(sub + L"\\f" + std::to_wstring(file) + L".dat", contents.back());
            }
        }
        const double treeMb = static_cast<double>(kTreeFiles * kTreeFileSize) / (1024.0 * 1024.0);
        const std::string rawTree = media + "/raw-tree";
        Fastest rawTreeUp = Best(
            1, [&] {},
            [&] {
                Check(afc.md().AFCDirectoryCreate(afc.connection(), rawTree.c_str()) == 0, "raw folder");
                size_t index = 0;
                for (int folder = 0; folder < kTreeFiles / 100; ++folder) {
                    std::string sub = rawTree + "/d" + std::to_string(folder);
                    Check(afc.md().AFCDirectoryCreate(afc.connection(), sub.c_str()) == 0, "raw folder");
                    for (int file = 0; file < 100; ++file, ++index) {
                        std::wstring from =
                            tree + L"\\d" + std::to_wstring(folder) + L"\\f" + std::to_wstring(file) + L".dat";
                        raw.WriteFromFile((sub + "/f" + std::to_string(file) + ".dat").c_str(), from);
                    }
                }
            });
        Fastest libTreeUp = Best(1, nullptr, [&] {
            Check(dll.UploadDirectoriesAndFilesToDevice(id, tree.c_str(), wmedia.c_str(), nullptr) == 1,
                  "the library's tree upload");
        });
        const std::wstring rawTreeDown = local / L"raw-tree-down";
        Fastest rawTreeDownTime = Best(1, nullptr, [&] {
            Check(::CreateDirectoryW(rawTreeDown.c_str(), nullptr) != 0, "raw local folder");
            for (int folder = 0; folder < kTreeFiles / 100; ++folder) {
                std::wstring sub = rawTreeDown + L"\\d" + std::to_wstring(folder);
                Check(::CreateDirectoryW(sub.c_str(), nullptr) != 0, "raw local folder");
                for (const std::string& name : afc.List((rawTree + "/d" + std::to_string(folder)).c_str()))
                    raw.ReadToFile((rawTree + "/d" + std::to_string(folder) + "/" + name).c_str(),
                                   sub + L"\\" + Utf8ToWide(name.c_str()));
            }
        });
        const std::wstring libTreeDown = local / L"lib-tree-down";
        Check(::CreateDirectoryW(libTreeDown.c_str(), nullptr) != 0, "making the tree download folder");
        Fastest libTreeDownTime = Best(1, nullptr, [&] {
            Check(dll.DownloadDirectoriesAndFilesFromDevice(id, (wmedia + L"/tree").c_str(), libTreeDown.c_str(),
                                                            nullptr) == 1,
                  "the library's tree download");
        });
        size_t index = 0;
        for (int folder = 0; folder < kTreeFiles / 100; ++folder) {
            for (int file = 0; file < 100; ++file, ++index) {
                std::string bytes;
                Check(testutil::ReadFileBytes(libTreeDown + L"\\tree\\d" + std::to_wstring(folder) + L"\\f" +
                                                  std::to_wstring(file) + L".dat",
                                              &bytes) &&
                          bytes == contents[index],
                      "the downloaded tree's bytes");
            }
        }
        std::snprintf(label, sizeof label, "upload %d files of 4 KiB in %d folders", kTreeFiles, kTreeFiles / 100);
        Row(label, rawTreeUp, libTreeUp, treeMb);
        std::snprintf(label, sizeof label, "download %d files of 4 KiB in %d folders", kTreeFiles, kTreeFiles / 100);
        Row(label, rawTreeDownTime, libTreeDownTime, treeMb);
        std::printf("%-44s %9.0f /s    %9.0f /s\n", "  (files per second, up)", kTreeFiles / rawTreeUp.best,
                    kTreeFiles / libTreeUp.best);
        std::printf("%-44s %9.0f /s    %9.0f /s\n\n", "  (files per second, down)", kTreeFiles / rawTreeDownTime.best,
                    kTreeFiles / libTreeDownTime.best);
        raw.RemoveTree(rawTree);
        raw.RemoveTree(media + "/tree");
    }

    // ---- a large folder ------------------------------------------------------------
    if (Wanted(parts, L"list")) {
        const std::wstring wide = wmedia + L"/wide";
        const std::wstring host = farm.HostPath(udid, wide.c_str());
        Check(::CreateDirectoryW(host.c_str(), nullptr) != 0, "making the wide folder");
        for (int i = 0; i < kFolderEntries; ++i)
            WriteLocal(host + L"\\entry-" + std::to_wstring(i) + L".txt", "x");
        Fastest rawList = Best(kRounds, nullptr, [&] {
            Check(raw.ListWithAttributes(media + "/wide") == static_cast<size_t>(kFolderEntries), "raw listing");
        });
        Fastest libList = Best(kRounds, nullptr, [&] {
            __IOS_FILE* files = nullptr;
            unsigned int count = 0;
            Check(dll.GetFilesInDirectory(id, wide.c_str(), &files, &count) == 1 &&
                      count == static_cast<unsigned>(kFolderEntries),
                  "the library's listing");
            dll.ReleaseMemory(files);
        });
        std::snprintf(label, sizeof label, "list a folder of %d entries", kFolderEntries);
        Row(label, rawList, libList, 0);
        RemoveLocalTree(host);
    }

    // ---- deleting a large tree -------------------------------------------------------
    if (Wanted(parts, L"delete")) {
        // 100 folders of 99 files, plus the folders themselves: 10,000 entries
        // below the top folder.
        auto makeDeleteTree = [&](const std::wstring& devicePath) {
            const std::wstring top = farm.HostPath(udid, devicePath.c_str());
            RemoveLocalTree(top);
            Check(::CreateDirectoryW(top.c_str(), nullptr) != 0, "making the tree to delete");
            for (int folder = 0; folder < 100; ++folder) {
                std::wstring sub = top + L"\\d" + std::to_wstring(folder);
                Check(::CreateDirectoryW(sub.c_str(), nullptr) != 0, "making the tree to delete");
                for (int file = 0; file < 99; ++file)
                    WriteLocal(sub + L"\\f" + std::to_wstring(file), "y");
            }
        };
        Fastest rawDelete = Best(
            1, [&] { makeDeleteTree(wmedia + L"/doomed"); }, [&] { raw.RemoveTree(media + "/doomed"); });
        Fastest libDelete = Best(
            1, [&] { makeDeleteTree(wmedia + L"/doomed"); },
            [&] {
                Check(dll.DeleteDirectoriesAndFilesOnDevice(id, (wmedia + L"/doomed").c_str(), nullptr) == 1,
                      "the library's delete");
            });
        Row("delete a tree of 10,000 entries", rawDelete, libDelete, 0);
    }

    dll.StopListeningDeviceConnections();
    dll.UnloadDllFunctions();
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    try {
        int mebibytes = argc > 1 ? _wtoi(argv[1]) : 64;
        return Run(mebibytes > 0 ? mebibytes : 64, argc > 2 ? argv[2] : L"");
    } catch (const Failure& failure) {
        std::fprintf(stderr, "device-files-bench: %s failed\n", failure.step);
    } catch (...) {
        std::fprintf(stderr, "device-files-bench: failed\n");
    }
    return 1;
}
