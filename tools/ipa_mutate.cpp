// Seeded mutation run over the archive reader: generated zip archives
// (entry names of every dangerous form, damaged headers and data) go
// through the extraction layer and GetAppInfoFromIPA, generated CgBI and
// plain PNG icons (damaged chunks, lengths, streams) through the PNG
// normaliser. Nothing may crash or hang, and nothing may be written outside
// the work folder.
//
//   orvex-ipa-mutate [--seed N] [--archives N] [--pngs N] [--only-archive I] [--only-png I]
//
// Every case draws from its own generator seeded with (seed, kind, index),
// so one case can be run again alone. Prints one summary line per kind and
// "N passed, N failed"; exits 1 on any failure.
#include "ipa/app_info.h"
#include "ipa/ipa_exception.h"
#include "ipa/png_fixer.h"
#include "ipa/zip_extractor.h"
#include "platform/file.h"
#include "platform/seams.h"
#include "platform/vendor_calls.h"

#include <windows.h>

#include <objidl.h>

#include <gdiplus.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

// Binds the value library stand-in beside the program: the reader calls
// nothing else of the vendor libraries.
bool BindValueLibrary() {
    wchar_t program[MAX_PATH] = {};
    DWORD n = ::GetModuleFileNameW(nullptr, program, MAX_PATH);
    std::wstring folder(program, n);
    folder.resize(folder.find_last_of(L'\\'));
    HMODULE library = ::LoadLibraryW((folder + L"\\CoreFoundation.dll").c_str());
    return library && vendor::BindLibrary(vendor::Library::Cf, library) == nullptr;
}

using Bytes = std::vector<uint8_t>;
using Random = std::mt19937;

constexpr unsigned kCaseTimeLimitSeconds = 20;

// ---- the watchdog: a case that runs too long ends the run ------------------

std::atomic<long> g_caseStarted{0}; // GetTickCount of the running case, 0 when idle
std::atomic<long> g_caseIndex{-1};
std::atomic<bool> g_done{false};
const char* g_caseKind = "";

void Watchdog() {
    while (!g_done) {
        ::Sleep(200);
        long started = g_caseStarted;
        if (started &&
            static_cast<long>(::GetTickCount()) - started > static_cast<long>(kCaseTimeLimitSeconds * 1000)) {
            std::printf("HANG: %s case %ld ran longer than %u s\n", g_caseKind, g_caseIndex.load(),
                        kCaseTimeLimitSeconds);
            std::fflush(stdout);
            ::ExitProcess(2);
        }
    }
}

class CaseTimer {
  public:
    CaseTimer(const char* kind, long index) : m_start(std::chrono::steady_clock::now()) {
        g_caseKind = kind;
        g_caseIndex = index;
        g_caseStarted = static_cast<long>(::GetTickCount()) | 1;
    }
    ~CaseTimer() { g_caseStarted = 0; }
    double Milliseconds() const {
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - m_start).count();
    }

  private:
    std::chrono::steady_clock::time_point m_start;
};

// ---- helpers ------------------------------------------------------------------

size_t Pick(Random& random, size_t count) { return std::uniform_int_distribution<size_t>(0, count - 1)(random); }
bool Chance(Random& random, unsigned percent) { return Pick(random, 100) < percent; }

void Put16(Bytes& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(Bytes& out, uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}
void PutBig32(Bytes& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(v >> shift));
}

Bytes Compress(const Bytes& raw, int windowBits) {
    z_stream zs = {};
    deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
    Bytes out(deflateBound(&zs, static_cast<uLong>(raw.size())));
    zs.next_in = const_cast<Bytef*>(raw.data());
    zs.avail_in = static_cast<uInt>(raw.size());
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

bool WriteBytes(const std::wstring& path, const Bytes& bytes) {
    UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    return file && ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

// Damages bytes in place: flips, interesting values, truncation, a copied
// range, a big-endian or little-endian length set to something huge.
void Mutate(Random& random, Bytes& bytes, unsigned rounds) {
    static const uint8_t kInteresting[] = {0x00, 0xFF, 0x7F, 0x80, 0x01, 0x2F, 0x5C, 0x3A, 0x2E};
    for (unsigned i = 0; i < rounds && !bytes.empty(); ++i) {
        size_t at = Pick(random, bytes.size());
        switch (Pick(random, 6)) {
        case 0:
            bytes[at] ^= static_cast<uint8_t>(1u << Pick(random, 8));
            break;
        case 1:
            bytes[at] = kInteresting[Pick(random, sizeof kInteresting)];
            break;
        case 2:
            bytes.resize(at);
            break;
        case 3: {
            size_t length = std::min<size_t>(Pick(random, 64) + 1, bytes.size() - at);
            size_t to = Pick(random, bytes.size());
            Bytes copy(bytes.begin() + at, bytes.begin() + at + length);
            bytes.insert(bytes.begin() + to, copy.begin(), copy.end());
            break;
        }
        default:
            if (at + 4 <= bytes.size()) {
                static const uint32_t kLengths[] = {0xFFFFFFFF, 0x7FFFFFFF, 0x80000000, 0x04000001, 0x00010000};
                uint32_t v = kLengths[Pick(random, 5)];
                for (int b = 0; b < 4; ++b)
                    bytes[at + b] = static_cast<uint8_t>(v >> (8 * b));
            }
            break;
        }
    }
}

// ---- archives ---------------------------------------------------------------------

struct Entry {
    std::string name;
    Bytes data;
    bool deflate;
};

const char* const kDangerousNames[] = {
    "../x",
    "..\\x",
    "a/../../x",
    "a\\..\\..\\x",
    "a/..\\../x",
    "/x",
    "\\x",
    "C:x",
    "C:\\x",
    "C:/x",
    "\\\\server\\share\\x",
    "//server/share/x",
    "\\\\?\\C:\\x",
    "//?/C:/x",
    "\\\\.\\C:\\x",
    "a:stream",
    "x::$DATA",
    "CON",
    "nul.txt",
    "lpt1 /x",
    "com1",
    "a./x",
    ".../x",
    "./x",
    "a//b",
    "a\\\\b",
    "",
    "/",
    "..",
    ".",
    "a\x01"
    "b",
    "q?",
    "s*",
    "p|",
    "<x>",
    "name ",
    "Payload/../../x",
};
const char* const kPlainNames[] = {
    "iTunesMetadata.plist",
    "Payload/",
    "Payload/A.app/",
    "Payload/A.app/Info.plist",
    "Payload/A.app/Icon.png",
    "Payload/A.app/Frameworks/K.framework/Info.plist",
    "Payload/B.app/Info.plist",
    "Payload/A.app/icon.PNG",
    "Payload/测试.app/Info.plist",
    "x",
};

std::string RandomName(Random& random) {
    switch (Pick(random, 5)) {
    case 0:
        return kDangerousNames[Pick(random, std::size(kDangerousNames))] + std::string(Chance(random, 50) ? "" : "/x");
    case 1: {
        std::string name(Pick(random, 40) + 1, '\0');
        for (char& c : name)
            c = static_cast<char>(Pick(random, 256));
        return name;
    }
    case 2:
        return std::string(Pick(random, 400) + 200, 'n') + "/Info.plist";
    default:
        return kPlainNames[Pick(random, std::size(kPlainNames))];
    }
}

Bytes RandomData(Random& random) {
    Bytes data(Pick(random, 3) == 0 ? 0 : Pick(random, 6000));
    bool zeros = Chance(random, 30);
    for (uint8_t& b : data)
        b = zeros ? 0 : static_cast<uint8_t>(Pick(random, 256));
    if (Chance(random, 15)) {
        const char plist[] = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleIdentifier</key>"
                             "<string>com.example.fuzz</string><key>CFBundleIconFile</key><string>Icon</string>"
                             "</dict></plist>";
        data.assign(plist, plist + sizeof plist - 1);
    }
    return data;
}

Bytes BuildZip(const std::vector<Entry>& entries) {
    Bytes out, central;
    for (const Entry& e : entries) {
        uint32_t offset = static_cast<uint32_t>(out.size());
        Bytes stored = e.deflate ? Compress(e.data, -MAX_WBITS) : e.data;
        uint32_t crc = static_cast<uint32_t>(crc32(0, e.data.data(), static_cast<uInt>(e.data.size())));
        auto header = [&](Bytes& b, bool isCentral) {
            Put32(b, isCentral ? 0x02014b50 : 0x04034b50);
            if (isCentral)
                Put16(b, 20);
            Put16(b, 20);
            Put16(b, 0x0800);
            Put16(b, e.deflate ? 8 : 0);
            Put16(b, 0x5A8A); // 11:20:20
            Put16(b, 0x40D9); // 2012-06-25
            Put32(b, crc);
            Put32(b, static_cast<uint32_t>(stored.size()));
            Put32(b, static_cast<uint32_t>(e.data.size()));
            Put16(b, static_cast<uint32_t>(e.name.size()));
            Put16(b, 0);
            if (isCentral) {
                Put16(b, 0);
                Put16(b, 0);
                Put16(b, 0);
                Put32(b, !e.name.empty() && e.name.back() == '/' ? 0x10 : 0);
                Put32(b, offset);
            }
            b.insert(b.end(), e.name.begin(), e.name.end());
        };
        header(out, false);
        out.insert(out.end(), stored.begin(), stored.end());
        header(central, true);
    }
    uint32_t centralOffset = static_cast<uint32_t>(out.size());
    out.insert(out.end(), central.begin(), central.end());
    Put32(out, 0x06054b50);
    Put16(out, 0);
    Put16(out, 0);
    Put16(out, static_cast<uint32_t>(entries.size()));
    Put16(out, static_cast<uint32_t>(entries.size()));
    Put32(out, static_cast<uint32_t>(central.size()));
    Put32(out, centralOffset);
    Put16(out, 0);
    return out;
}

// Takes every entry, overwrites every existing file: the widest surface.
class AcceptAll : public SingleFileZipDelegate {
  public:
    int OnMessage(const wchar_t*) override { return 1; }
    int OnFilterEntry(const wchar_t*) override { return 1; }
};

// ---- icons -------------------------------------------------------------------------

Bytes Chunk(const char* type, const Bytes& data) {
    Bytes out;
    PutBig32(out, static_cast<uint32_t>(data.size()));
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    uLong crc = crc32(crc32(0, reinterpret_cast<const Bytef*>(type), 4), data.data(), static_cast<uInt>(data.size()));
    PutBig32(out, static_cast<uint32_t>(crc));
    return out;
}

Bytes BuildPng(Random& random) {
    bool cgbi = Chance(random, 75);
    uint32_t width = static_cast<uint32_t>(Pick(random, 48) + 1), height = static_cast<uint32_t>(Pick(random, 48) + 1);
    uint8_t colourType = cgbi || Chance(random, 60) ? 6 : static_cast<uint8_t>(Pick(random, 7));
    Bytes raw;
    size_t rowBytes = width * 4;
    bool badFilters = Chance(random, 3);
    for (uint32_t y = 0; y < height; ++y) {
        raw.push_back(static_cast<uint8_t>(badFilters && Chance(random, 20) ? Pick(random, 256) : Pick(random, 5)));
        for (size_t x = 0; x < rowBytes; ++x)
            raw.push_back(static_cast<uint8_t>(Pick(random, 256)));
    }
    Bytes out = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
    if (Chance(random, 10))
        out[4] = 0x0A;
    if (cgbi)
        out = [&] {
            Bytes b = out;
            Bytes c = Chunk("CgBI", {0x50, 0x00, 0x20, 0x06});
            b.insert(b.end(), c.begin(), c.end());
            return b;
        }();
    Bytes header;
    PutBig32(header, width);
    PutBig32(header, height);
    header.insert(header.end(), {8, colourType, 0, 0, static_cast<uint8_t>(Chance(random, 5) ? 1 : 0)});
    Bytes ihdr = Chunk("IHDR", header);
    out.insert(out.end(), ihdr.begin(), ihdr.end());
    if (Chance(random, 30)) {
        Bytes extra = Chunk(Chance(random, 50) ? "iDOT" : "tEXt", Bytes(Pick(random, 40), 'k'));
        out.insert(out.end(), extra.begin(), extra.end());
    }
    Bytes stream = Compress(raw, cgbi && !Chance(random, 10) ? -MAX_WBITS : MAX_WBITS);
    size_t parts = Pick(random, 4) + 1;
    size_t size = (stream.size() + parts - 1) / parts;
    for (size_t i = 0; i < parts; ++i) {
        size_t from = std::min(stream.size(), i * size), to = std::min(stream.size(), from + size);
        Bytes idat = Chunk("IDAT", Bytes(stream.begin() + from, stream.begin() + to));
        out.insert(out.end(), idat.begin(), idat.end());
    }
    Bytes iend = Chunk("IEND", {});
    out.insert(out.end(), iend.begin(), iend.end());
    return out;
}

// ---- the run ------------------------------------------------------------------------

struct Folders {
    std::wstring root;  // everything of the run
    std::wstring input; // the archive or icon of the case
    // The only places anything may be written: the extraction folder, and
    // the reader's temporary and documents folders. They lie side by side
    // two levels below the root, so a name that climbs out of one of them
    // lands in a place that is watched.
    std::wstring work, temp, documents;
};

std::wstring g_temp, g_documents;

void Walk(const std::wstring& folder, std::vector<std::wstring>* out) {
    WIN32_FIND_DATAW entry;
    UniqueFindHandle find(::FindFirstFileW((folder + L"\\*").c_str(), &entry));
    if (!find)
        return;
    do {
        std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..")
            continue;
        out->push_back(folder + L"\\" + name);
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            Walk(folder + L"\\" + name, out);
    } while (::FindNextFileW(find.get(), &entry));
}

bool IsWithin(const std::wstring& path, const std::wstring& folder) {
    return path == folder || path.compare(0, folder.size() + 1, folder + L"\\") == 0;
}

// Everything under the root that is not the input, inside one of the three
// folders, or one of their parents.
std::vector<std::wstring> WrittenOutside(const Folders& f) {
    std::vector<std::wstring> all, outside;
    Walk(f.root, &all);
    for (const std::wstring& path : all) {
        bool allowed = path == f.input || IsWithin(path, f.work) || IsWithin(path, f.temp) ||
                       IsWithin(path, f.documents) || IsWithin(f.work, path);
        if (!allowed)
            outside.push_back(path);
    }
    return outside;
}

std::vector<std::wstring> ListTop(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry;
    UniqueFindHandle find(::FindFirstFileW((folder + L"\\*").c_str(), &entry));
    if (find) {
        do {
            std::wstring name = entry.cFileName;
            if (name != L"." && name != L"..")
                names.push_back(name);
        } while (::FindNextFileW(find.get(), &entry));
    }
    std::sort(names.begin(), names.end());
    return names;
}

struct Tally {
    long cases = 0, failures = 0, errors = 0, succeeded = 0;
    double slowest = 0;
};

bool Fail(Tally& tally, const char* kind, long index, const std::wstring& what) {
    ++tally.failures;
    std::printf("FAIL: %s case %ld: %ls\n", kind, index, what.c_str());
    return false;
}

void CheckOutside(Tally& tally, const Folders& f, const char* kind, long index) {
    for (const std::wstring& path : WrittenOutside(f))
        Fail(tally, kind, index, L"written outside the work folder: " + path);
}

void RunArchive(Tally& tally, const Folders& f, uint32_t seed, long index, bool withReader) {
    Random random(seed ^ 0x5A17u ^ static_cast<uint32_t>(index) * 2654435761u);
    std::vector<Entry> entries(Pick(random, 8) + 1);
    for (Entry& e : entries) {
        e.name = RandomName(random);
        e.data = RandomData(random);
        e.deflate = Chance(random, 60);
    }
    Bytes zip = BuildZip(entries);
    if (Chance(random, 60))
        Mutate(random, zip, static_cast<unsigned>(Pick(random, 3) + 1));
    if (!WriteBytes(f.input, zip)) {
        Fail(tally, "archive", index, L"cannot write the input");
        return;
    }
    CaseTimer timer("archive", index);
    ++tally.cases;
    try {
        AcceptAll delegate;
        ZipExtractor extractor;
        extractor.SetDelegate(&delegate);
        if (extractor.OpenArchive(f.input.c_str()) && extractor.ExtractAllTo(f.work.c_str()))
            ++tally.succeeded;
    } catch (const CIpaException&) {
        ++tally.errors;
    } catch (const std::exception& e) {
        Fail(tally, "archive", index,
             L"unexpected exception: " + std::wstring(e.what(), e.what() + std::strlen(e.what())));
    }
    if (withReader) {
        __IOS_APP app;
        GetAppInfoFromIPA(f.input.c_str(), &app);
        if (!ListTop(f.temp).empty())
            Fail(tally, "archive", index, L"the reader left its work folder behind");
    }
    tally.slowest = std::max(tally.slowest, timer.Milliseconds());
    CheckOutside(tally, f, "archive", index);
    RemoveLocalTree(f.work);
}

void RunPng(Tally& tally, const Folders& f, uint32_t seed, long index) {
    Random random(seed ^ 0x9E37u ^ static_cast<uint32_t>(index) * 40503u);
    Bytes png = BuildPng(random);
    if (Chance(random, 70))
        Mutate(random, png, static_cast<unsigned>(Pick(random, 4) + 1));
    if (!WriteBytes(f.input, png)) {
        Fail(tally, "png", index, L"cannot write the input");
        return;
    }
    ::CreateDirectoryW(f.work.c_str(), nullptr);
    std::wstring output = f.work + L"\\out.png";
    CaseTimer timer("png", index);
    ++tally.cases;
    try {
        CPngFixer fixer(f.input.c_str());
        if (fixer.ConvertToFile(output.c_str()) == 1)
            ++tally.succeeded;
        else if (IsLocalFile(output))
            Fail(tally, "png", index, L"result 0 but an output file");
    } catch (const CIpaException&) {
        ++tally.errors;
        if (IsLocalFile(output))
            Fail(tally, "png", index, L"zlib error but an output file");
    } catch (const std::exception& e) {
        Fail(tally, "png", index, L"unexpected exception: " + std::wstring(e.what(), e.what() + std::strlen(e.what())));
    }
    tally.slowest = std::max(tally.slowest, timer.Milliseconds());
    CheckOutside(tally, f, "png", index);
    ::DeleteFileW(output.c_str());
}

long Argument(int argc, wchar_t** argv, const wchar_t* name, long fallback) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::wcscmp(argv[i], name) == 0)
            return std::wcstol(argv[i + 1], nullptr, 10);
    }
    return fallback;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    uint32_t seed = static_cast<uint32_t>(Argument(argc, argv, L"--seed", 1));
    long archives = Argument(argc, argv, L"--archives", 10000), pngs = Argument(argc, argv, L"--pngs", 100000);
    long onlyArchive = Argument(argc, argv, L"--only-archive", -1), onlyPng = Argument(argc, argv, L"--only-png", -1);
    long firstArchive = Argument(argc, argv, L"--first-archive", 0);
    bool verbose = Argument(argc, argv, L"--verbose", 0) != 0;

    Folders f;
    wchar_t temp[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH + 1, temp);
    f.root = std::wstring(temp) + L"orvex-mutate-" + std::to_wstring(::GetCurrentProcessId());
    f.work = f.root + L"\\a\\b\\work";
    f.temp = f.root + L"\\a\\b\\temp";
    f.documents = f.root + L"\\a\\b\\documents";
    f.input = f.root + L"\\input";
    ZipExtractor::CreateFolderPath(f.temp);
    ZipExtractor::CreateFolderPath(f.documents);
    g_temp = f.temp + L"\\";
    g_documents = f.documents;
    seams::Current().tempFolder = [] { return g_temp; };
    seams::Current().documentsFolder = [] { return g_documents; };
    // Without the value library stand-in the reader itself is left out.
    bool withReader = BindValueLibrary();
    ULONG_PTR gdiplus = 0;
    Gdiplus::GdiplusStartupInput input;
    Gdiplus::GdiplusStartup(&gdiplus, &input, nullptr);

    wchar_t current[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, current);
    // The places the rooted and drive-relative names aim at. (Other programs
    // may write elsewhere on drive C: meanwhile, so only these are watched.)
    std::vector<std::wstring> aimedAt;
    for (const std::wstring& folder : {std::wstring(L"C:"), std::wstring(current), f.root, f.root + L"\\a"}) {
        for (const wchar_t* name : {L"x", L"Info.plist", L"b"}) {
            if (!(folder == f.root + L"\\a" && std::wstring(name) == L"b"))
                aimedAt.push_back(folder + L"\\" + name);
        }
    }
    std::vector<bool> existedBefore;
    for (const std::wstring& path : aimedAt)
        existedBefore.push_back(::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES);

    // The watch itself must see a file that climbed out of the work folder.
    std::wstring probe = f.root + L"\\a\\b\\x";
    WriteBytes(probe, Bytes{1});
    bool watchWorks = WrittenOutside(f) == std::vector<std::wstring>{probe};
    ::DeleteFileW(probe.c_str());
    if (!watchWorks) {
        std::printf("FAIL: the watch over the work folder does not see a stray file\n");
        return 1;
    }

    std::thread watchdog(Watchdog);
    Tally archiveTally, pngTally;
    for (long i = firstArchive; i < archives; ++i) {
        if (verbose)
            std::fprintf(stderr, "archive %ld\n", i);
        if (i && i % 2000 == 0)
            std::fprintf(stderr, "archives: %ld done\n", i);
        if (onlyArchive < 0 || onlyArchive == i)
            RunArchive(archiveTally, f, seed, i, withReader && (i % 4 == 0 || onlyArchive == i));
    }
    for (long i = 0; i < pngs; ++i) {
        if (i && i % 10000 == 0)
            std::fprintf(stderr, "pngs: %ld done\n", i);
        if (onlyPng < 0 || onlyPng == i)
            RunPng(pngTally, f, seed, i);
    }
    g_done = true;
    watchdog.join();

    Tally total;
    for (size_t i = 0; i < aimedAt.size(); ++i) {
        if (!existedBefore[i] && ::GetFileAttributesW(aimedAt[i].c_str()) != INVALID_FILE_ATTRIBUTES)
            Fail(total, "run", -1, L"written where a name aimed: " + aimedAt[i]);
    }
    RemoveLocalTree(f.root);
    Gdiplus::GdiplusShutdown(gdiplus);
    vendor::ClearSlots();

    std::printf("archives: %ld run (%ld extracted, %ld raised an error), reader %s, slowest %.1f ms\n",
                archiveTally.cases, archiveTally.succeeded, archiveTally.errors, withReader ? "included" : "left out",
                archiveTally.slowest);
    std::printf("pngs: %ld run (%ld converted, %ld zlib errors), slowest %.1f ms\n", pngTally.cases, pngTally.succeeded,
                pngTally.errors, pngTally.slowest);
    long failures = archiveTally.failures + pngTally.failures + total.failures;
    long passed = archiveTally.cases + pngTally.cases - failures;
    std::printf("%ld passed, %ld failed\n", passed < 0 ? 0 : passed, failures);
    return failures ? 1 : 0;
}
