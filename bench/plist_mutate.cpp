// Seeded mutation run of the value library's property-list reader.
//
//   cf-plist-mutate [--count N] [--seed S] [--keep FOLDER] [SEED_FILE...]
//
// Mutates valid XML and binary lists (built-in seeds plus the given files,
// or those in ..\testdata\plist beside the program) and reads each mutant in
// place, right after or right before an inaccessible page, so a read
// outside the input ends the run.
// A crash or a hang ends the run; a list that reads must also write as XML
// and binary and read back equal. Prints the tally and exits non-zero on
// any failure or when the process used more memory than it may. With
// --keep, every failing mutant is saved in FOLDER as mutant-<number>.
#include "bench/seeded_random.h"
#include "values/CoreFoundation.h"

#include <psapi.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kMemoryLimit = 512u << 20; // far beyond what any seed's mutants need

struct Owned {
    CFTypeRef value;
    explicit Owned(CFTypeRef v = nullptr) : value(v) {}
    ~Owned() {
        if (value)
            CFRelease(value);
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
};

using Random = SeededRandom;

// A read-write window between two inaccessible pages.
class GuardedBuffer {
  public:
    GuardedBuffer() = default;
    ~GuardedBuffer() { Free(); }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    // Copies `b` to the end of the window (or to its start) and returns it.
    const uint8_t* Place(const Bytes& b, bool atEnd) {
        if (b.size() > m_size && !Reserve(b.size()))
            return nullptr;
        uint8_t* dest = atEnd ? m_window + m_size - b.size() : m_window;
        if (!b.empty())
            std::memcpy(dest, b.data(), b.size());
        return dest;
    }

  private:
    bool Reserve(size_t need) {
        Free();
        SYSTEM_INFO info;
        ::GetSystemInfo(&info);
        const size_t page = info.dwPageSize;
        m_size = (need + page - 1) / page * page;
        m_base = static_cast<uint8_t*>(::VirtualAlloc(nullptr, m_size + 2 * page, MEM_COMMIT, PAGE_READWRITE));
        if (!m_base)
            return false;
        DWORD old;
        ::VirtualProtect(m_base, page, PAGE_NOACCESS, &old);
        ::VirtualProtect(m_base + page + m_size, page, PAGE_NOACCESS, &old);
        m_window = m_base + page;
        return true;
    }
    void Free() {
        if (m_base)
            ::VirtualFree(m_base, 0, MEM_RELEASE);
        m_base = m_window = nullptr;
        m_size = 0;
    }

    uint8_t* m_base = nullptr;
    uint8_t* m_window = nullptr;
    size_t m_size = 0;
};

Bytes ToBytes(CFDataRef data) {
    const uint8_t* p = CFDataGetBytePtr(data);
    return Bytes(p, p + CFDataGetLength(data));
}

// Built-in seeds: one value with every kind of element, written by the
// library's own writers in both formats.
void AddBuiltInSeeds(std::vector<Bytes>* seeds) {
    CFMutableDictionaryRef root =
        CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    CFMutableArrayRef list = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
    const int64_t numbers[] = {0, -1, 255, 65536, 1LL << 40, INT64_MIN};
    for (int64_t n : numbers) {
        Owned v(CFNumberCreate(nullptr, kCFNumberSInt64Type, &n));
        CFArrayAppendValue(list, v.value);
    }
    const double real = 2.5;
    Owned r(CFNumberCreate(nullptr, kCFNumberFloat64Type, &real));
    Owned date(CFDateCreate(nullptr, 362324730.0));
    Owned data(CFDataCreate(nullptr, reinterpret_cast<const uint8_t*>("\x00\x01\xFEpayload"), 10));
    Owned text(
        CFStringCreateWithCString(nullptr, "\xE4\xB8\xAD\xE6\x96\x87 \xF0\x9F\x98\x80 & <tag>", kCFStringEncodingUTF8));
    Owned longText(CFStringCreateWithCString(nullptr, std::string(40, 'a').c_str(), kCFStringEncodingUTF8));
    CFArrayAppendValue(list, r.value);
    CFArrayAppendValue(list, date.value);
    CFArrayAppendValue(list, data.value);
    CFArrayAppendValue(list, text.value);
    CFArrayAppendValue(list, text.value); // shared in the binary form
    CFArrayAppendValue(list, kCFBooleanTrue);
    CFDictionarySetValue(root, __CFStringMakeConstantString("list"), list);
    CFDictionarySetValue(root, __CFStringMakeConstantString("text"), longText.value);
    CFMutableDictionaryRef inner =
        CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    CFDictionarySetValue(inner, __CFStringMakeConstantString("CFBundleVersion"), text.value);
    CFDictionarySetValue(root, __CFStringMakeConstantString("inner"), inner);
    for (CFPropertyListFormat format : {kCFPropertyListXMLFormat_v1_0, kCFPropertyListBinaryFormat_v1_0}) {
        Owned out(CFPropertyListCreateData(nullptr, root, format, 0, nullptr));
        if (out.value)
            seeds->push_back(ToBytes(static_cast<CFDataRef>(out.value)));
    }
    CFRelease(inner);
    CFRelease(list);
    CFRelease(root);
}

bool ReadFile(const std::wstring& path, Bytes* out) {
    FILE* f = _wfopen(path.c_str(), L"rb");
    if (!f)
        return false;
    uint8_t buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
        out->insert(out->end(), buffer, buffer + n);
    std::fclose(f);
    return true;
}

std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH];
    const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p(path, n);
    return p.substr(0, p.find_last_of(L'\\'));
}

void AddFolderSeeds(const std::wstring& folder, std::vector<Bytes>* seeds) {
    WIN32_FIND_DATAW found;
    HANDLE h = ::FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (h == INVALID_HANDLE_VALUE)
        return;
    do {
        Bytes b;
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && ReadFile(folder + L"\\" + found.cFileName, &b))
            seeds->push_back(std::move(b));
    } while (::FindNextFileW(h, &found));
    ::FindClose(h);
}

const char* const kTokens[] = {"<dict>",
                               "</dict>",
                               "<array>",
                               "</array>",
                               "<key>",
                               "</key>",
                               "<string>",
                               "<integer>",
                               "<real>",
                               "<date>",
                               "<data>",
                               "<true/>",
                               "<dict/>",
                               "&amp;",
                               "&#x",
                               "&#1114112;",
                               "&lt",
                               "<![CDATA[",
                               "]]>",
                               "<!--",
                               "-->",
                               "<!DOCTYPE plist [<!ENTITY a 'b'>]>",
                               "99999999999999999999",
                               "-9223372036854775808",
                               "0x7fffffffffffffff",
                               "1e400",
                               "\xC3",
                               "\xED\xA0\x80",
                               "\xF4\x90\x80\x80",
                               "\x00"};
const uint8_t kInteresting[] = {0x00, 0x01, 0x08, 0x09, 0x0F, 0x10, 0x13, 0x14, 0x1F, 0x23, 0x33, 0x4F,
                                0x5F, 0x6F, 0x7F, 0x80, 0xA0, 0xAF, 0xD0, 0xDF, 0xFE, 0xFF, '<',  '>'};

void Mutate(Random& rng, Bytes* b) {
    const int rounds = 1 + static_cast<int>(rng.Below(4));
    for (int round = 0; round < rounds; ++round) {
        const size_t n = b->size();
        switch (rng.Below(10)) {
        case 0:
            if (n)
                (*b)[rng.Below(n)] ^= static_cast<uint8_t>(1u << rng.Below(8));
            break;
        case 1:
            if (n)
                (*b)[rng.Below(n)] = kInteresting[rng.Below(sizeof kInteresting)];
            break;
        case 2:
            if (n)
                (*b)[rng.Below(n)] = static_cast<uint8_t>(rng.Next());
            break;
        case 3: { // delete a range
            const size_t at = rng.Below(n + 1), len = 1 + rng.Below(16);
            b->erase(b->begin() + static_cast<long>(at), b->begin() + static_cast<long>(std::min(n, at + len)));
            break;
        }
        case 4: { // insert random bytes
            const size_t at = rng.Below(n + 1), len = 1 + rng.Below(16);
            Bytes noise(len);
            for (uint8_t& x : noise)
                x = static_cast<uint8_t>(rng.Next());
            b->insert(b->begin() + static_cast<long>(at), noise.begin(), noise.end());
            break;
        }
        case 5: { // duplicate a chunk elsewhere
            if (!n)
                break;
            const size_t from = rng.Below(n), len = 1 + rng.Below(std::min<size_t>(64, n - from));
            const Bytes chunk(b->begin() + static_cast<long>(from), b->begin() + static_cast<long>(from + len));
            b->insert(b->begin() + static_cast<long>(rng.Below(n + 1)), chunk.begin(), chunk.end());
            break;
        }
        case 6: // truncate
            b->resize(rng.Below(n + 1));
            break;
        case 7: { // the binary trailer and offset table live at the end
            if (n < 40)
                break;
            (*b)[n - 1 - rng.Below(40)] = kInteresting[rng.Below(sizeof kInteresting)];
            break;
        }
        case 8: { // a big-endian field set to a boundary value
            static const uint64_t values[] = {
                0, 1, 0x7F, 0xFF, 0x7FFF, 0xFFFF, 0x7FFFFFFF, 0xFFFFFFFF, 0x7FFFFFFFFFFFFFFFULL, ~0ULL};
            const size_t width = size_t{1} << rng.Below(4);
            if (n < width)
                break;
            const bool trailer = n >= 32 && rng.Below(2);
            const size_t at = trailer ? n - 32 + rng.Below(32 - width + 1) : rng.Below(n - width + 1);
            if (at + width > n)
                break;
            const uint64_t v = values[rng.Below(sizeof values / sizeof values[0])];
            for (size_t k = 0; k < width; ++k)
                (*b)[at + k] = static_cast<uint8_t>(v >> (8 * (width - 1 - k)));
            break;
        }
        default: { // an XML token
            const char* token = kTokens[rng.Below(sizeof kTokens / sizeof kTokens[0])];
            const size_t len = token[0] ? std::strlen(token) : 1;
            b->insert(b->begin() + static_cast<long>(rng.Below(n + 1)), token, token + len);
            break;
        }
        }
    }
}

// A list that reads must write as binary and read back equal, and read
// back from XML whenever the XML writer takes it (XML dates keep whole
// seconds of the years 0000-9999 only).
bool RoundTrips(CFPropertyListRef plist) {
    Owned binary(CFPropertyListCreateData(nullptr, plist, kCFPropertyListBinaryFormat_v1_0, 0, nullptr));
    if (!binary.value)
        return false;
    Owned back(CFPropertyListCreateWithData(nullptr, static_cast<CFDataRef>(binary.value), 0, nullptr, nullptr));
    if (!back.value || !CFEqual(back.value, plist))
        return false;
    Owned xml(CFPropertyListCreateData(nullptr, plist, kCFPropertyListXMLFormat_v1_0, 0, nullptr));
    if (!xml.value)
        return true;
    Owned fromXml(CFPropertyListCreateWithData(nullptr, static_cast<CFDataRef>(xml.value), 0, nullptr, nullptr));
    return fromXml.value != nullptr;
}

double Now() {
    LARGE_INTEGER t, f;
    ::QueryPerformanceCounter(&t);
    ::QueryPerformanceFrequency(&f);
    return static_cast<double>(t.QuadPart) / static_cast<double>(f.QuadPart);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    unsigned long long count = 100000, seed = 1;
    std::vector<Bytes> seeds;
    bool filesGiven = false;
    std::wstring keep;
    for (int i = 1; i < argc; ++i) {
        if (!std::wcscmp(argv[i], L"--count") && i + 1 < argc) {
            count = std::wcstoull(argv[++i], nullptr, 10);
        } else if (!std::wcscmp(argv[i], L"--keep") && i + 1 < argc) {
            keep = argv[++i];
        } else if (!std::wcscmp(argv[i], L"--seed") && i + 1 < argc) {
            seed = std::wcstoull(argv[++i], nullptr, 10);
        } else {
            Bytes b;
            if (!ReadFile(argv[i], &b)) {
                std::fwprintf(stderr, L"cannot read seed file %ls\n", argv[i]);
                return 2;
            }
            seeds.push_back(std::move(b));
            filesGiven = true;
        }
    }
    if (!filesGiven)
        AddFolderSeeds(ProgramFolder() + L"\\..\\testdata\\plist", &seeds);
    AddBuiltInSeeds(&seeds);
    for (const Bytes& s : seeds) {
        Owned data(CFDataCreate(nullptr, s.data(), static_cast<CFIndex>(s.size())));
        Owned plist(CFPropertyListCreateWithData(nullptr, static_cast<CFDataRef>(data.value), 0, nullptr, nullptr));
        if (!plist.value) {
            std::fprintf(stderr, "a seed does not read: the run would test nothing\n");
            return 2;
        }
    }

    auto save = [&](unsigned long long i, const Bytes& b) {
        if (keep.empty())
            return;
        FILE* f = _wfopen((keep + L"\\mutant-" + std::to_wstring(i)).c_str(), L"wb");
        if (f) {
            std::fwrite(b.data(), 1, b.size(), f);
            std::fclose(f);
        }
    };
    Random rng(seed);
    GuardedBuffer guarded;
    unsigned long long read = 0, refused = 0, failures = 0;
    double slowest = 0;
    const double start = Now();
    for (unsigned long long i = 0; i < count; ++i) {
        Bytes b = seeds[rng.Below(seeds.size())];
        Mutate(rng, &b);
        const CFOptionFlags options = rng.Below(3);
        const double t0 = Now();
        const uint8_t* placed = guarded.Place(b, (i & 1) == 0);
        if (!placed) {
            std::fprintf(stderr, "cannot reserve memory for a mutant\n");
            return 2;
        }
        Owned data(CFDataCreateWithBytesNoCopy(nullptr, placed, static_cast<CFIndex>(b.size()), kCFAllocatorNull));
        CFErrorRef error = nullptr;
        Owned plist(
            CFPropertyListCreateWithData(nullptr, static_cast<CFDataRef>(data.value), options, nullptr, &error));
        Owned err(error);
        slowest = std::max(slowest, Now() - t0);
        if (plist.value) {
            ++read;
            if (!RoundTrips(plist.value)) {
                ++failures;
                std::fprintf(stderr, "mutant %llu read but does not write and read back equal\n", i);
                save(i, b);
            }
        } else {
            ++refused;
            if (!error) {
                ++failures;
                std::fprintf(stderr, "mutant %llu refused without an error\n", i);
                save(i, b);
            }
        }
    }
    const double elapsed = Now() - start;
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof memory;
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &memory, sizeof memory);
    const size_t peak = memory.PeakPagefileUsage;
    std::printf("seeds %zu, mutants %llu (seed %llu): %llu read, %llu refused, %llu failures; slowest %.1f ms, "
                "peak memory %.1f MB, %.1f s\n",
                seeds.size(), count, seed, read, refused, failures, slowest * 1000, peak / 1048576.0, elapsed);
    if (peak > kMemoryLimit) {
        std::fprintf(stderr, "peak memory beyond %zu MB\n", kMemoryLimit >> 20);
        return 1;
    }
    return failures ? 1 : 0;
}
