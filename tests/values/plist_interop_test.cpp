// Property lists written by independent writers (Python's plistlib and
// libplist's plistutil, see tests/plist/make_plists.py) read into the value
// library's objects they hold.
#include "tests/support/test_util.h"
#include "values/CoreFoundation.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <memory>
#include <string>
#include <vector>

namespace {

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

// Builds the expected dictionary; every value made here is released with it.
class Expected {
  public:
    Expected()
        : m_dict(CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                           &kCFTypeDictionaryValueCallBacks)) {}
    ~Expected() { CFRelease(m_dict); }
    Expected(const Expected&) = delete;
    Expected& operator=(const Expected&) = delete;

    CFTypeRef Own(CFTypeRef v) {
        m_owned.emplace_back(new Owned(v));
        return v;
    }
    CFStringRef S(const char* utf8) {
        return static_cast<CFStringRef>(Own(CFStringCreateWithCString(nullptr, utf8, kCFStringEncodingUTF8)));
    }
    CFTypeRef I(int64_t v) { return Own(CFNumberCreate(nullptr, kCFNumberSInt64Type, &v)); }
    CFTypeRef R(double v) { return Own(CFNumberCreate(nullptr, kCFNumberFloat64Type, &v)); }
    CFTypeRef A(std::vector<CFTypeRef> items) {
        return Own(CFArrayCreate(nullptr, items.data(), static_cast<CFIndex>(items.size()), &kCFTypeArrayCallBacks));
    }
    CFTypeRef D(std::vector<std::pair<const char*, CFTypeRef>> pairs) {
        std::vector<CFTypeRef> keys, values;
        for (auto& p : pairs) {
            keys.push_back(S(p.first));
            values.push_back(p.second);
        }
        return Own(CFDictionaryCreate(nullptr, keys.data(), values.data(), static_cast<CFIndex>(keys.size()),
                                      &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    }
    void Set(const char* key, CFTypeRef value) { CFDictionarySetValue(m_dict, S(key), value); }
    CFDictionaryRef dict() const { return m_dict; }

  private:
    CFMutableDictionaryRef m_dict;
    std::vector<std::unique_ptr<Owned>> m_owned;
};

// The values of make_plists.py, less "max_uint64" (no public call makes a
// number beyond INT64_MAX; it is checked on its own).
void Fill(Expected& e) {
    e.Set("ascii", e.S("plain text"));
    e.Set("cjk", e.S("中文字符 日本語 한국어"));
    e.Set("astral", e.S("\xF0\x9F\x98\x80\xF0\xA0\x80\x80 outside the basic plane"));
    e.Set("中文键", e.S("unicode key"));
    e.Set("entities", e.S("<&>\"' ]]>"));
    e.Set("max_int64", e.I(INT64_MAX));
    e.Set("min_int64", e.I(INT64_MIN));
    e.Set("negative", e.I(-42));
    e.Set("zero", e.I(0));
    e.Set("one_byte", e.I(200));
    e.Set("two_bytes", e.I(40000));
    e.Set("four_bytes", e.I(3000000000LL));
    e.Set("reals", e.A({e.R(0.5), e.R(-1234.5678), e.R(1e300), e.R(5e-324), e.R(3.141592653589793), e.R(-0.0)}));
    e.Set("date", e.Own(CFDateCreate(nullptr, 362324730.0)));
    e.Set("old_date", e.Own(CFDateCreate(nullptr, -kCFAbsoluteTimeIntervalSince1970)));
    std::vector<uint8_t> bytes(256);
    for (int i = 0; i < 256; ++i)
        bytes[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
    e.Set("data", e.Own(CFDataCreate(nullptr, bytes.data(), 256)));
    e.Set("empty_data", e.Own(CFDataCreate(nullptr, nullptr, 0)));
    e.Set("empty_dict", e.D({}));
    e.Set("empty_array", e.A({}));
    e.Set("empty_string", e.S(""));
    e.Set("bools", e.A({kCFBooleanTrue, kCFBooleanFalse}));
    e.Set(
        "nested",
        e.D({{"level1", e.D({{"level2", e.A({e.I(1), e.A({e.I(2), e.A({e.I(3), e.D({{"deep", e.S("yes")}})})})})}})}}));
    e.Set("long_string", e.S(std::string(1000, 'x').c_str()));
    std::vector<CFTypeRef> many;
    for (int i = 0; i < 100; ++i)
        many.push_back(e.I(i));
    e.Set("many", e.A(many));
}

TEST(PropertyListInterop, IndependentWritersReadIntoEqualValues) {
    Expected expected;
    Fill(expected);
    const std::wstring folder = testutil::ProgramFolder() + L"\\..\\testdata\\plist\\";
    const struct {
        const wchar_t* file;
        CFPropertyListFormat format;
    } files[] = {{L"plistlib.xml", kCFPropertyListXMLFormat_v1_0},
                 {L"plistlib.bin", kCFPropertyListBinaryFormat_v1_0},
                 {L"plistutil.xml", kCFPropertyListXMLFormat_v1_0},
                 {L"plistutil.bin", kCFPropertyListBinaryFormat_v1_0}};
    for (const auto& f : files) {
        SCOPED_TRACE(std::string(f.file, f.file + wcslen(f.file)));
        std::string bytes;
        ASSERT_TRUE(testutil::ReadFileBytes(folder + f.file, &bytes));
        Owned data(
            CFDataCreate(nullptr, reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<CFIndex>(bytes.size())));
        CFPropertyListFormat format = 0;
        CFErrorRef error = nullptr;
        Owned plist(CFPropertyListCreateWithData(nullptr, static_cast<CFDataRef>(data.value), 0, &format, &error));
        ASSERT_NE(plist.value, nullptr);
        EXPECT_EQ(error, nullptr);
        EXPECT_EQ(format, f.format);

        // 2^64 - 1 reads back as its low 64 bits, flagged as not exact, so
        // an unsigned print of a type-11 read shows the full value.
        auto big = static_cast<CFNumberRef>(CFDictionaryGetValue(static_cast<CFDictionaryRef>(plist.value),
                                                                 __CFStringMakeConstantString("max_uint64")));
        ASSERT_NE(big, nullptr);
        int64_t v = 0;
        EXPECT_FALSE(CFNumberGetValue(big, kCFNumberLongLongType, &v));
        EXPECT_EQ(static_cast<uint64_t>(v), UINT64_MAX);
        Owned text(CFCopyDescription(big));
        EXPECT_EQ(std::string(CFStringGetCStringPtr(static_cast<CFStringRef>(text.value), kCFStringEncodingUTF8)),
                  "18446744073709551615");

        Owned copy(CFDictionaryCreateMutableCopy(nullptr, 0, static_cast<CFDictionaryRef>(plist.value)));
        CFDictionaryRemoveValue(static_cast<CFMutableDictionaryRef>(const_cast<void*>(copy.value)),
                                __CFStringMakeConstantString("max_uint64"));
        EXPECT_TRUE(CFEqual(copy.value, expected.dict()));
        // Narrow down a difference to its key.
        const CFIndex count = CFDictionaryGetCount(expected.dict());
        std::vector<const void*> keys(static_cast<size_t>(count)), values(static_cast<size_t>(count));
        CFDictionaryGetKeysAndValues(expected.dict(), keys.data(), values.data());
        for (size_t i = 0; i < keys.size(); ++i) {
            char key[64] = "";
            CFStringGetCString(static_cast<CFStringRef>(keys[i]), key, sizeof key, kCFStringEncodingUTF8);
            EXPECT_TRUE(CFEqual(CFDictionaryGetValue(static_cast<CFDictionaryRef>(copy.value), keys[i]), values[i]))
                << key;
        }
    }
}

// Reads a list written by the tests' data generator; null if unreadable.
CFPropertyListRef ReadList(const std::wstring& path, std::string* bytes) {
    if (!testutil::ReadFileBytes(path, bytes))
        return nullptr;
    Owned data(
        CFDataCreate(nullptr, reinterpret_cast<const uint8_t*>(bytes->data()), static_cast<CFIndex>(bytes->size())));
    return CFPropertyListCreateWithData(nullptr, static_cast<CFDataRef>(data.value), 0, nullptr, nullptr);
}

// A list past 64 KiB with thousands of objects: libplist writes it with
// 3-byte offsets and 2-byte references. Every writer's form reads into the
// same value.
TEST(PropertyListInterop, LargeListsOfEveryWriterReadEqual) {
    const std::wstring folder = testutil::ProgramFolder() + L"\\..\\testdata\\plist\\";
    std::string bytes;
    Owned reference(ReadList(folder + L"large.plistlib.xml", &bytes));
    ASSERT_NE(reference.value, nullptr);
    auto items = static_cast<CFArrayRef>(
        CFDictionaryGetValue(static_cast<CFDictionaryRef>(reference.value), __CFStringMakeConstantString("items")));
    ASSERT_NE(items, nullptr);
    ASSERT_EQ(CFArrayGetCount(items), 3000);
    auto last = static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(items, 2999));
    int64_t n = 0;
    CFNumberGetValue(static_cast<CFNumberRef>(CFDictionaryGetValue(last, __CFStringMakeConstantString("n"))),
                     kCFNumberSInt64Type, &n);
    EXPECT_EQ(n, 2999 * 7919 - 1000000);
    Owned name(
        CFStringCreateWithCString(nullptr, "item 02999 \xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80", kCFStringEncodingUTF8));
    EXPECT_TRUE(CFEqual(CFDictionaryGetValue(last, __CFStringMakeConstantString("name")), name.value));

    for (const wchar_t* file : {L"large.plistlib.bin", L"large.plistutil.bin", L"large.plistutil.xml"}) {
        SCOPED_TRACE(std::string(file, file + wcslen(file)));
        Owned plist(ReadList(folder + file, &bytes));
        ASSERT_NE(plist.value, nullptr);
        EXPECT_TRUE(CFEqual(plist.value, reference.value));
    }
    // The case this test is for: the trailer of libplist's binary form.
    ASSERT_TRUE(testutil::ReadFileBytes(folder + L"large.plistutil.bin", &bytes));
    ASSERT_GT(bytes.size(), 32u);
    EXPECT_EQ(bytes[bytes.size() - 26], 3) << "offset size";
    EXPECT_EQ(bytes[bytes.size() - 25], 2) << "reference size";
}

} // namespace
