// Value semantics of the stand-in value library: ownership, strings,
// numbers, collections, URLs, UUIDs and dates.
#include "values/CoreFoundation.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// Owns one reference, released at the end of the test.
struct Owned {
    CFTypeRef value;
    explicit Owned(CFTypeRef v) : value(v) {}
    ~Owned() {
        if (value)
            CFRelease(value);
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    template <typename T> T as() const { return static_cast<T>(const_cast<void*>(value)); }
};

CFStringRef Str(const char* utf8) { return CFStringCreateWithCString(nullptr, utf8, kCFStringEncodingUTF8); }

std::string Utf8Of(CFStringRef s) {
    CFIndex used = 0;
    const CFIndex length = CFStringGetLength(s);
    CFStringGetBytes(s, CFRange{0, length}, kCFStringEncodingUTF8, 0, 0, nullptr, 0, &used);
    std::string out(static_cast<size_t>(used), '\0');
    CFStringGetBytes(s, CFRange{0, length}, kCFStringEncodingUTF8, 0, 0, reinterpret_cast<uint8_t*>(out.data()), used,
                     &used);
    return out;
}

// ---- ownership --------------------------------------------------------------------

TEST(Ownership, CreateAndCopyStartOwnedGetIsBorrowed) {
    Owned key(Str("k"));
    Owned value(Str("v"));
    EXPECT_EQ(CFGetRetainCount(key.value), 1);
    Owned dict(CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    EXPECT_EQ(CFGetRetainCount(dict.value), 1);
    CFDictionarySetValue(dict.as<CFMutableDictionaryRef>(), key.value, value.value);
    EXPECT_EQ(CFGetRetainCount(key.value), 2);
    EXPECT_EQ(CFGetRetainCount(value.value), 2);

    const void* got = CFDictionaryGetValue(dict.as<CFDictionaryRef>(), key.value);
    EXPECT_EQ(got, value.value);
    EXPECT_EQ(CFGetRetainCount(value.value), 2); // a get does not retain

    {
        Owned copy(CFDictionaryCreateCopy(nullptr, dict.as<CFDictionaryRef>()));
        EXPECT_EQ(CFGetRetainCount(copy.value), 1);
        EXPECT_NE(copy.value, dict.value); // a copy of a mutable dictionary is a new value
        EXPECT_EQ(CFGetRetainCount(value.value), 3);
    }
    EXPECT_EQ(CFGetRetainCount(value.value), 2);
    CFDictionaryRemoveValue(dict.as<CFMutableDictionaryRef>(), key.value);
    EXPECT_EQ(CFGetRetainCount(key.value), 1);
    EXPECT_EQ(CFGetRetainCount(value.value), 1);

    EXPECT_EQ(CFRetain(value.value), value.value);
    EXPECT_EQ(CFGetRetainCount(value.value), 2);
    CFRelease(value.value);
    EXPECT_EQ(CFGetRetainCount(value.value), 1);
}

struct ReleaseLog {
    static std::vector<const void*> released;
    static void Release(CFAllocatorRef, const void* v) { released.push_back(v); }
};
std::vector<const void*> ReleaseLog::released;

TEST(Ownership, TheLastReleaseFreesAndReleasesTheContents) {
    static int a, b;
    const void* items[] = {&a, &b};
    const CFArrayCallBacks logOnly = {0, nullptr, ReleaseLog::Release, nullptr, nullptr};
    ReleaseLog::released.clear();
    CFArrayRef array = CFArrayCreate(nullptr, items, 2, &logOnly);
    CFRetain(array);
    CFRelease(array);
    EXPECT_TRUE(ReleaseLog::released.empty()); // still owned once
    EXPECT_EQ(CFGetRetainCount(array), 1);
    CFRelease(array); // destroys the array, which releases its values
    EXPECT_EQ(ReleaseLog::released, (std::vector<const void*>{&a, &b}));
}

TEST(Ownership, ConstantsAreNeverFreed) {
    CFStringRef a = __CFStringMakeConstantString("ProductType");
    CFStringRef b = __CFStringMakeConstantString("ProductType");
    EXPECT_EQ(a, b); // interned
    const CFIndex count = CFGetRetainCount(a);
    for (int i = 0; i < 5; ++i)
        CFRelease(a);
    EXPECT_EQ(CFGetRetainCount(a), count);
    EXPECT_EQ(Utf8Of(a), "ProductType");
    CFRelease(kCFBooleanTrue);
    EXPECT_EQ(CFBooleanGetValue(kCFBooleanTrue), 1);
}

// ---- strings ------------------------------------------------------------------------

TEST(Strings, LengthCountsUtf16UnitsAndBytesRoundTrip) {
    const char* text = "a\xE4\xB8\xAD\xF0\x9F\x98\x80"; // a, 中, U+1F600
    Owned s(CFStringCreateWithBytes(nullptr, reinterpret_cast<const uint8_t*>(text),
                                    static_cast<CFIndex>(std::strlen(text)), kCFStringEncodingUTF8, 0));
    ASSERT_NE(s.value, nullptr);
    EXPECT_EQ(CFStringGetLength(s.as<CFStringRef>()), 4);
    EXPECT_EQ(CFStringGetCharacterAtIndex(s.as<CFStringRef>(), 2), 0xD83D);
    EXPECT_EQ(Utf8Of(s.as<CFStringRef>()), text);
    EXPECT_EQ(CFStringGetCStringPtr(s.as<CFStringRef>(), kCFStringEncodingUTF8), nullptr); // not ASCII
}

TEST(Strings, GetBytesStopsBeforeACharacterThatDoesNotFit) {
    Owned s(Str("ab\xF0\x9F\x98\x80"));
    uint8_t buffer[8];
    std::memset(buffer, 0xCC, sizeof buffer);
    CFIndex used = -1;
    // Room for "ab" and half of the four-byte character: it is left out.
    const CFIndex done =
        CFStringGetBytes(s.as<CFStringRef>(), CFRange{0, 4}, kCFStringEncodingUTF8, 0, 0, buffer, 4, &used);
    EXPECT_EQ(done, 2);
    EXPECT_EQ(used, 2);
    EXPECT_EQ(buffer[2], 0xCC);
    // ASCII cannot hold it; with a loss byte it stands in.
    EXPECT_EQ(CFStringGetBytes(s.as<CFStringRef>(), CFRange{0, 4}, kCFStringEncodingASCII, 0, 0, buffer, 8, &used), 2);
    EXPECT_EQ(CFStringGetBytes(s.as<CFStringRef>(), CFRange{0, 4}, kCFStringEncodingASCII, '?', 0, buffer, 8, &used),
              4);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), static_cast<size_t>(used)), "ab?");
    // A range outside the string converts nothing.
    EXPECT_EQ(CFStringGetBytes(s.as<CFStringRef>(), CFRange{3, 5}, kCFStringEncodingUTF8, 0, 0, buffer, 8, &used), 0);
    EXPECT_EQ(used, 0);
}

TEST(Strings, CreationRejectsBytesTheEncodingCannotHold) {
    const struct {
        const char* bytes;
        CFStringEncoding encoding;
        bool valid;
    } cases[] = {
        {"plain", kCFStringEncodingUTF8, true},
        {"\xC3\xA9", kCFStringEncodingUTF8, true},
        {"\xC3", kCFStringEncodingUTF8, false},             // truncated
        {"\xC0\xAF", kCFStringEncodingUTF8, false},         // overlong
        {"\xED\xA0\x80", kCFStringEncodingUTF8, false},     // a surrogate
        {"\xF4\x90\x80\x80", kCFStringEncodingUTF8, false}, // past U+10FFFF
        {"\xE9", kCFStringEncodingASCII, false},
        {"\xE9", kCFStringEncodingISOLatin1, true},
    };
    for (const auto& c : cases) {
        CFStringRef s = CFStringCreateWithBytes(nullptr, reinterpret_cast<const uint8_t*>(c.bytes),
                                                static_cast<CFIndex>(std::strlen(c.bytes)), c.encoding, 0);
        EXPECT_EQ(s != nullptr, c.valid) << c.bytes;
        if (s)
            CFRelease(s);
    }
}

TEST(Strings, CStringPtrIsTerminatedForAsciiText) {
    Owned s(Str("iPhone3,1"));
    const char* p = CFStringGetCStringPtr(s.as<CFStringRef>(), kCFStringEncodingUTF8);
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p, "iPhone3,1");
}

TEST(Strings, MutableStringsEditAndFormat) {
    Owned m(CFStringCreateMutable(nullptr, 0));
    auto ms = m.as<CFMutableStringRef>();
    CFStringAppendCString(ms, "  Hello", kCFStringEncodingUTF8);
    CFStringAppendFormat(ms, nullptr, __CFStringMakeConstantString(" %d/%s/%@/%5.2f/%llu  "), -42, "x",
                         __CFStringMakeConstantString("obj"), 3.14159, 18446744073709551615ULL);
    EXPECT_EQ(Utf8Of(ms), "  Hello -42/x/obj/ 3.14/18446744073709551615  ");
    EXPECT_STREQ(CFStringGetCStringPtr(ms, kCFStringEncodingUTF8), "  Hello -42/x/obj/ 3.14/18446744073709551615  ");
    CFStringTrimWhitespace(ms);
    EXPECT_EQ(Utf8Of(ms), "Hello -42/x/obj/ 3.14/18446744073709551615");
    EXPECT_STREQ(CFStringGetCStringPtr(ms, kCFStringEncodingUTF8), "Hello -42/x/obj/ 3.14/18446744073709551615");
    EXPECT_EQ(CFStringFindAndReplace(ms, __CFStringMakeConstantString("/"), __CFStringMakeConstantString("|"),
                                     CFRange{0, CFStringGetLength(ms)}, 0),
              4);
    EXPECT_TRUE(CFStringHasPrefix(ms, __CFStringMakeConstantString("Hello")));
    const CFRange r = CFStringFind(ms, __CFStringMakeConstantString("OBJ"), kCFCompareCaseInsensitive);
    EXPECT_EQ(r.location, 12);
    EXPECT_EQ(r.length, 3);
}

TEST(Strings, CompareOrdersAndFolds) {
    const struct {
        const char* a;
        const char* b;
        CFStringCompareFlags flags;
        CFComparisonResult expected;
    } cases[] = {
        {"abc", "abd", 0, kCFCompareLessThan},
        {"abc", "ABC", 0, kCFCompareGreaterThan},
        {"abc", "ABC", kCFCompareCaseInsensitive, kCFCompareEqualTo},
        {"file10", "file9", 0, kCFCompareLessThan},
        {"file10", "file9", kCFCompareNumerically, kCFCompareGreaterThan},
        {"ab", "abc", 0, kCFCompareLessThan},
    };
    for (const auto& c : cases) {
        Owned a(Str(c.a)), b(Str(c.b));
        EXPECT_EQ(CFStringCompare(a.as<CFStringRef>(), b.as<CFStringRef>(), c.flags), c.expected) << c.a << " " << c.b;
    }
}

// ---- numbers ------------------------------------------------------------------------------

TEST(Numbers, KeepTheirTypeAndConvertLikeTheVendorsLibrary) {
    const int64_t big = 5000000000LL; // beyond 32 bits
    const struct {
        CFNumberType createType;
        int64_t value;
        CFNumberType getType;
        int64_t expected;
        bool exact;
    } cases[] = {
        {kCFNumberSInt32Type, -7, kCFNumberSInt64Type, -7, true},
        {kCFNumberIntType, 123456, kCFNumberSInt32Type, 123456, true},
        {kCFNumberSInt64Type, big, kCFNumberSInt64Type, big, true},
        {kCFNumberSInt64Type, big, kCFNumberLongLongType, big, true},
        {kCFNumberLongLongType, big, kCFNumberSInt32Type, INT32_MAX, false}, // clamped
        {kCFNumberSInt64Type, -big, kCFNumberIntType, INT32_MIN, false},
        {kCFNumberSInt64Type, INT64_MAX, kCFNumberSInt64Type, INT64_MAX, true},
        {kCFNumberSInt64Type, 300, kCFNumberSInt8Type, 127, false},
    };
    for (const auto& c : cases) {
        Owned n(nullptr);
        if (c.createType == kCFNumberIntType || c.createType == kCFNumberSInt32Type) {
            const int32_t v = static_cast<int32_t>(c.value);
            n.value = CFNumberCreate(nullptr, c.createType, &v);
        } else {
            n.value = CFNumberCreate(nullptr, c.createType, &c.value);
        }
        ASSERT_NE(n.value, nullptr);
        int64_t out = 0;
        Boolean exact = 0;
        if (c.getType == kCFNumberSInt64Type || c.getType == kCFNumberLongLongType) {
            exact = CFNumberGetValue(n.as<CFNumberRef>(), c.getType, &out);
        } else if (c.getType == kCFNumberSInt8Type) {
            int8_t v8 = 0;
            exact = CFNumberGetValue(n.as<CFNumberRef>(), c.getType, &v8);
            out = v8;
        } else {
            int32_t v32 = 0;
            exact = CFNumberGetValue(n.as<CFNumberRef>(), c.getType, &v32);
            out = v32;
        }
        EXPECT_EQ(out, c.expected) << c.value << " as " << c.getType;
        EXPECT_EQ(exact != 0, c.exact) << c.value << " as " << c.getType;
    }
    const int32_t i = 1;
    Owned n(CFNumberCreate(nullptr, kCFNumberIntType, &i));
    EXPECT_EQ(CFNumberGetType(n.as<CFNumberRef>()), kCFNumberSInt32Type); // int is SInt32 here
    EXPECT_EQ(CFNumberGetByteSize(n.as<CFNumberRef>()), 4);
}

TEST(Numbers, RealsTruncateTowardZeroAndCompareAcrossTypes) {
    const double d = -2.75;
    Owned real(CFNumberCreate(nullptr, kCFNumberFloat64Type, &d));
    int32_t i = 0;
    EXPECT_EQ(CFNumberGetValue(real.as<CFNumberRef>(), kCFNumberSInt32Type, &i), 0);
    EXPECT_EQ(i, -2);
    const int64_t two = 2;
    const double twoReal = 2.0;
    Owned a(CFNumberCreate(nullptr, kCFNumberSInt64Type, &two));
    Owned b(CFNumberCreate(nullptr, kCFNumberFloat64Type, &twoReal));
    EXPECT_TRUE(CFEqual(a.value, b.value));
    EXPECT_EQ(CFHash(a.value), CFHash(b.value));
    EXPECT_EQ(CFNumberCompare(real.as<CFNumberRef>(), a.as<CFNumberRef>(), nullptr), kCFCompareLessThan);
}

// ---- collections -------------------------------------------------------------------------------

TEST(Dictionaries, KeysMatchByContentInSmallAndLargeDictionaries) {
    for (int size : {3, 50}) {
        Owned dict(
            CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
        auto d = dict.as<CFMutableDictionaryRef>();
        for (int i = 0; i < size; ++i) {
            Owned key(Str(("key" + std::to_string(i)).c_str()));
            const int32_t v = i;
            Owned value(CFNumberCreate(nullptr, kCFNumberSInt32Type, &v));
            CFDictionarySetValue(d, key.value, value.value);
        }
        EXPECT_EQ(CFDictionaryGetCount(d), size);
        for (int i = 0; i < size; ++i) {
            Owned probe(Str(("key" + std::to_string(i)).c_str())); // another object, equal text
            int32_t v = -1;
            ASSERT_TRUE(CFNumberGetValue(static_cast<CFNumberRef>(CFDictionaryGetValue(d, probe.value)),
                                         kCFNumberSInt32Type, &v));
            EXPECT_EQ(v, i);
        }
        Owned gone(Str("key1"));
        CFDictionaryRemoveValue(d, gone.value);
        EXPECT_EQ(CFDictionaryGetValue(d, gone.value), nullptr);
        EXPECT_EQ(CFDictionaryGetCount(d), size - 1);
        Owned last(Str(("key" + std::to_string(size - 1)).c_str()));
        EXPECT_NE(CFDictionaryGetValue(d, last.value), nullptr); // still found after the removal

        std::vector<const void*> keys(static_cast<size_t>(size - 1)), values(static_cast<size_t>(size - 1));
        CFDictionaryGetKeysAndValues(d, keys.data(), values.data());
        for (size_t k = 0; k < keys.size(); ++k)
            EXPECT_EQ(CFDictionaryGetValue(d, keys[k]), values[k]);
    }
}

TEST(Dictionaries, EqualByContent) {
    const void* k[] = {__CFStringMakeConstantString("a"), __CFStringMakeConstantString("b")};
    const void* v1[] = {kCFBooleanTrue, __CFStringMakeConstantString("x")};
    const void* v2[] = {kCFBooleanTrue, __CFStringMakeConstantString("y")};
    const void* kr[] = {k[1], k[0]};
    const void* v1r[] = {v1[1], v1[0]};
    Owned a(CFDictionaryCreate(nullptr, k, v1, 2, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    Owned b(CFDictionaryCreate(nullptr, kr, v1r, 2, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    Owned c(CFDictionaryCreate(nullptr, k, v2, 2, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    EXPECT_TRUE(CFEqual(a.value, b.value));
    EXPECT_FALSE(CFEqual(a.value, c.value));
}

TEST(Arrays, EditSortAndSearch) {
    Owned array(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
    auto a = array.as<CFMutableArrayRef>();
    for (int v : {5, 1, 4, 2, 3}) {
        Owned n(CFNumberCreate(nullptr, kCFNumberIntType, &v));
        CFArrayAppendValue(a, n.value);
    }
    auto byValue = [](const void* x, const void* y, void*) {
        return CFNumberCompare(static_cast<CFNumberRef>(x), static_cast<CFNumberRef>(y), nullptr);
    };
    CFArraySortValues(a, CFRange{0, 5}, byValue, nullptr);
    for (int i = 0; i < 5; ++i) {
        int v = 0;
        CFNumberGetValue(static_cast<CFNumberRef>(CFArrayGetValueAtIndex(a, i)), kCFNumberIntType, &v);
        EXPECT_EQ(v, i + 1);
    }
    const int three = 3;
    Owned probe(CFNumberCreate(nullptr, kCFNumberIntType, &three));
    EXPECT_EQ(CFArrayBSearchValues(a, CFRange{0, 5}, probe.value, byValue, nullptr), 2);
    EXPECT_EQ(CFArrayGetFirstIndexOfValue(a, CFRange{0, 5}, probe.value), 2);
    CFArrayRemoveValueAtIndex(a, 0);
    CFArrayInsertValueAtIndex(a, 4, probe.value);
    EXPECT_EQ(CFArrayGetCount(a), 5);
    EXPECT_EQ(CFArrayGetCountOfValue(a, CFRange{0, 5}, probe.value), 2);
    EXPECT_EQ(CFArrayGetValueAtIndex(a, 5), nullptr); // past the end
}

// Appending one value at a time grows the array by a share of its size,
// not by one: 400,000 appends are quick (were each to copy the whole array,
// they would not end within the test's time).
TEST(Arrays, AppendingOneAtATimeStaysLinear) {
    Owned array(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
    auto a = array.as<CFMutableArrayRef>();
    const int count = 400000;
    for (int i = 0; i < count; ++i)
        CFArrayAppendValue(a, kCFBooleanTrue);
    EXPECT_EQ(CFArrayGetCount(a), count);
    EXPECT_EQ(CFArrayGetValueAtIndex(a, count - 1), kCFBooleanTrue);
    // Within a fixed capacity, as before: one past it is refused.
    Owned bounded(CFArrayCreateMutable(nullptr, 2, &kCFTypeArrayCallBacks));
    for (int i = 0; i < 3; ++i)
        CFArrayAppendValue(bounded.as<CFMutableArrayRef>(), kCFBooleanFalse);
    EXPECT_EQ(CFArrayGetCount(bounded.as<CFArrayRef>()), 2);
}

TEST(Data, MutableDataGrowsAndKeepsItsBytes) {
    Owned data(CFDataCreateMutable(nullptr, 0));
    auto d = data.as<CFMutableDataRef>();
    CFDataAppendBytes(d, reinterpret_cast<const uint8_t*>("hello"), 5);
    CFDataReplaceBytes(d, CFRange{0, 1}, reinterpret_cast<const uint8_t*>("J"), 1);
    CFDataIncreaseLength(d, 2);
    ASSERT_EQ(CFDataGetLength(d), 7);
    EXPECT_EQ(std::memcmp(CFDataGetBytePtr(d), "Jello\0\0", 7), 0);
    CFDataDeleteBytes(d, CFRange{1, 4});
    EXPECT_EQ(CFDataGetLength(d), 3);
    CFDataDeleteBytes(d, CFRange{2, 9}); // outside: ignored
    EXPECT_EQ(CFDataGetLength(d), 3);
}

struct FreeLog {
    static std::vector<void*> freed;
    static void Deallocate(void* ptr, void*) { freed.push_back(ptr); }
    static void* Allocate(CFIndex, CFOptionFlags, void*) { return nullptr; }
};
std::vector<void*> FreeLog::freed;

TEST(Data, NoCopyDataUsesTheCallersBytesAndFreesThemWithItsDeallocator) {
    CFAllocatorContext context{};
    context.allocate = FreeLog::Allocate;
    context.deallocate = FreeLog::Deallocate;
    CFAllocatorRef deallocator = CFAllocatorCreate(nullptr, &context);
    ASSERT_NE(deallocator, nullptr);
    static uint8_t bytes[] = {1, 2, 3};
    FreeLog::freed.clear();
    CFDataRef data = CFDataCreateWithBytesNoCopy(nullptr, bytes, 3, deallocator);
    CFRelease(deallocator); // the data keeps its own reference
    EXPECT_EQ(CFDataGetBytePtr(data), bytes);
    EXPECT_TRUE(FreeLog::freed.empty());
    CFRelease(data);
    EXPECT_EQ(FreeLog::freed, (std::vector<void*>{bytes}));
}

// ---- URLs, UUIDs, dates --------------------------------------------------------------------------

// Made from bytes, a URL keeps its text exactly, whatever it holds; made
// from a string, the text must be a valid URL, as with the vendor's library.
TEST(Urls, BytesAreKeptAndStringsMustBeValidUrls) {
    const std::string text = "file:///C:/pkg/\xE4\xB8\xAD app #1 100%.ipa";
    Owned fromBytes(CFURLCreateWithBytes(nullptr, reinterpret_cast<const uint8_t*>(text.data()),
                                         static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8, nullptr));
    ASSERT_NE(fromBytes.value, nullptr);
    EXPECT_EQ(Utf8Of(CFURLGetString(fromBytes.as<CFURLRef>())), text);

    const struct {
        const char* text;
        bool valid;
    } cases[] = {
        {"file:///C:/pkg/app.ipa", true},
        {"file:///C:/pkg/%E4%B8%AD%20app%20%231%20100%25.ipa", true},
        {"http://user@host:80/a/b;c?d=e&f=g#frag", true},
        {"file:///C:/a-b_c.d~e/(x)[y]!$'*+,=@", true},
        {"%aF", true},
        {"file:///C:/pkg/my app.ipa", false},       // a space
        {"file:///C:/pkg/\xE4\xB8\xAD.ipa", false}, // non-ASCII
        {"file:///C:/100%.ipa", false},             // "%" and no digits
        {"file:///C:/100%2.ipa", false},            // one digit
        {"file:///C:/a%G0.ipa", false},             // not hexadecimal
        {"file:///C:/a\"b", false},
        {"file:///C:/a<b>", false},
        {"file:///C:/a\\b", false},
        {"file:///C:/a{b}|^`", false},
        {"file:///C:/a\tb", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        Owned str(Str(c.text));
        Owned url(CFURLCreateWithString(nullptr, str.as<CFStringRef>(), nullptr));
        EXPECT_EQ(url.value != nullptr, c.valid);
        if (url.value) {
            EXPECT_EQ(Utf8Of(CFURLGetString(url.as<CFURLRef>())), c.text);
        }
    }
}

// A file URL's path has its escapes decoded and ends at "?" or "#".
TEST(Urls, FileSystemPathsDecodeEscapes) {
    const struct {
        const char* url;
        const char* windowsPath;
    } cases[] = {
        {"file:///C:/pkg/app.ipa", "C:\\pkg\\app.ipa"},
        {"file:///C:/pkg/%E4%B8%AD%20app%20%232%20100%25.ipa", "C:\\pkg\\\xE4\xB8\xAD app #2 100%.ipa"},
        {"file:///C:/a%2520b/x.ipa", "C:\\a%20b\\x.ipa"}, // decoded once only
        {"file:///C:/games/x%F0%9F%98%80.ipa", "C:\\games\\x\xF0\x9F\x98\x80.ipa"},
        {"file:///C:/pkg/app.ipa#frag", "C:\\pkg\\app.ipa"},
        {"file:///C:/pkg/a?b.ipa", "C:\\pkg\\a"},
        {"file://localhost/C:/pkg/app.ipa", "C:\\pkg\\app.ipa"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        Owned str(Str(c.url));
        Owned url(CFURLCreateWithString(nullptr, str.as<CFStringRef>(), nullptr));
        ASSERT_NE(url.value, nullptr);
        Owned path(CFURLCopyFileSystemPath(url.as<CFURLRef>(), kCFURLWindowsPathStyle));
        ASSERT_NE(path.value, nullptr);
        EXPECT_EQ(Utf8Of(path.as<CFStringRef>()), c.windowsPath);
    }
    // Escapes that are not UTF-8 make no path.
    Owned bad(Str("file:///C:/a%FF.ipa"));
    Owned url(CFURLCreateWithString(nullptr, bad.as<CFStringRef>(), nullptr));
    ASSERT_NE(url.value, nullptr);
    EXPECT_EQ(CFURLCopyFileSystemPath(url.as<CFURLRef>(), kCFURLWindowsPathStyle), nullptr);
    Owned scheme(CFURLCopyScheme(url.as<CFURLRef>()));
    EXPECT_EQ(Utf8Of(scheme.as<CFStringRef>()), "file");
}

TEST(Uuids, RandomWithThirtySixCharacterText) {
    Owned a(CFUUIDCreate(nullptr)), b(CFUUIDCreate(nullptr));
    ASSERT_NE(a.value, nullptr);
    EXPECT_FALSE(CFEqual(a.value, b.value));
    Owned text(CFUUIDCreateString(nullptr, a.as<CFUUIDRef>()));
    const std::string s = Utf8Of(text.as<CFStringRef>());
    ASSERT_EQ(s.size(), 36u);
    for (size_t i = 0; i < s.size(); ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23)
            EXPECT_EQ(s[i], '-');
        else
            EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(s[i]))) << s;
    }
    Owned parsed(CFUUIDCreateFromString(nullptr, text.as<CFStringRef>()));
    EXPECT_TRUE(CFEqual(parsed.value, a.value));
}

TEST(Dates, GregorianConversionsRoundTrip) {
    const CFGregorianDate g = {2012, 6, 25, 13, 45, 30.0};
    const CFAbsoluteTime at = CFGregorianDateGetAbsoluteTime(g, nullptr);
    EXPECT_EQ(at, 362324730.0);
    const CFGregorianDate back = CFAbsoluteTimeGetGregorianDate(at, nullptr);
    EXPECT_EQ(back.year, 2012);
    EXPECT_EQ(back.month, 6);
    EXPECT_EQ(back.day, 25);
    EXPECT_EQ(back.hour, 13);
    EXPECT_EQ(back.minute, 45);
    EXPECT_EQ(back.second, 30.0);
    EXPECT_EQ(CFAbsoluteTimeGetDayOfWeek(at, nullptr), 1); // a Monday
    const double now = CFAbsoluteTimeGetCurrent();
    EXPECT_GT(now, 700000000.0); // after 2023
}

} // namespace
