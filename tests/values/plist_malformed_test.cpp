// Untrusted property lists: malformed, truncated and hostile input gives
// null and an error, never a crash, an endless loop or an expansion; and
// the binary forms a reader must take (every offset and reference size,
// shared objects) read correctly.
#include "values/CoreFoundation.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
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

struct Result {
    Owned plist;
    Owned error;
};

void Parse(const std::string& bytes, Result* r) {
    Owned data(
        CFDataCreate(nullptr, reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<CFIndex>(bytes.size())));
    CFErrorRef error = nullptr;
    r->plist.value = CFPropertyListCreateWithData(nullptr, static_cast<CFDataRef>(data.value), 0, nullptr, &error);
    r->error.value = error;
}

std::string BigEndian(uint64_t v, unsigned size) {
    std::string out;
    for (unsigned i = size; i-- > 0;)
        out.push_back(static_cast<char>(v >> (8 * i)));
    return out;
}

// Assembles a binary list from encoded objects, with chosen field sizes.
struct Bplist {
    std::vector<std::string> objects;
    unsigned offsetSize = 1;
    unsigned refSize = 1;
    uint64_t top = 0;

    std::string Refs(std::initializer_list<uint64_t> refs) const {
        std::string out;
        for (uint64_t r : refs)
            out += BigEndian(r, refSize);
        return out;
    }
    std::string Build() const {
        std::string b = "bplist00";
        std::vector<uint64_t> offsets;
        for (const std::string& o : objects) {
            offsets.push_back(b.size());
            b += o;
        }
        const uint64_t table = b.size();
        for (uint64_t o : offsets)
            b += BigEndian(o, offsetSize);
        b += std::string(6, '\0');
        b.push_back(static_cast<char>(offsetSize));
        b.push_back(static_cast<char>(refSize));
        b += BigEndian(objects.size(), 8) + BigEndian(top, 8) + BigEndian(table, 8);
        return b;
    }
};

// A small valid list: ["ab", true, 7].
Bplist SmallList() {
    Bplist p;
    p.objects = {"\xA3" + p.Refs({1, 2, 3}),
                 "\x52"
                 "ab",
                 "\x09", std::string("\x10\x07", 2)};
    return p;
}

// Overwrites `size` bytes of the trailer at `at` (0 = its first byte).
std::string PatchTrailer(std::string b, size_t at, uint64_t value, unsigned size) {
    const std::string v = BigEndian(value, size);
    b.replace(b.size() - 32 + at, size, v);
    return b;
}

std::string Nested(const char* open, const char* close, int depth) {
    std::string s = "<plist>";
    for (int i = 0; i < depth; ++i)
        s += open;
    for (int i = 0; i < depth; ++i)
        s += close;
    return s + "</plist>";
}

// Each nesting level an array holding the next one.
std::string NestedBinary(int depth) {
    Bplist p;
    p.refSize = 2;
    p.offsetSize = 2;
    for (int i = 0; i + 1 < depth; ++i)
        p.objects.push_back("\xA1" + p.Refs({static_cast<uint64_t>(i + 1)}));
    p.objects.push_back(std::string("\xA0", 1));
    return p.Build();
}

TEST(PropertyListMalformed, EveryCaseGivesNullAndAnError) {
    const Bplist small = SmallList();
    const std::string valid = small.Build();
    {
        Result ok;
        Parse(valid, &ok);
        ASSERT_NE(ok.plist.value, nullptr) << "the base of the binary cases must be valid";
    }
    Bplist cycle;
    cycle.objects = {"\xA1" + cycle.Refs({0})};
    Bplist mutualCycle;
    mutualCycle.objects = {"\xA1" + mutualCycle.Refs({1}), "\xA1" + mutualCycle.Refs({0})};
    Bplist intKey;
    intKey.objects = {"\xD1" + intKey.Refs({1, 1}), std::string("\x10\x01", 2)};
    Bplist badAscii;
    badAscii.objects = {"\x53R\xC3("};
    Bplist loneSurrogate;
    loneSurrogate.objects = {std::string("\x62\x00\x41\xD8\x3D", 5)};
    Bplist refOutOfRange;
    refOutOfRange.objects = {"\xA1" + refOutOfRange.Refs({5})};
    Bplist refPastCount3;
    refPastCount3.offsetSize = 3;
    refPastCount3.refSize = 3;
    refPastCount3.objects = {"\xA2" + refPastCount3.Refs({1, 0x010002}), "\x09"};
    Bplist hugeCount;
    hugeCount.objects = {"\xAF\x13" + BigEndian(0x7FFFFFFFFFFFFFFFULL, 8)};
    Bplist hugeString;
    hugeString.objects = {"\x5F\x12" + BigEndian(0xFFFFFFF0u, 4) + "abc"};
    Bplist wideInt;
    wideInt.objects = {"\x14" + BigEndian(1, 8) + BigEndian(0, 8)};
    Bplist countOfCount;
    countOfCount.objects = {"\x5F\x14" + BigEndian(0, 16)};
    Bplist nullObject, uid, unknown, fill;
    nullObject.objects = {std::string("\x00", 1)};
    uid.objects = {"\x88" + std::string(9, '\x01')}; // nine bytes: beyond 64 bits
    unknown.objects = {"\x70"};
    fill.objects = {"\x0F"};

    const struct {
        const char* name;
        std::string bytes;
    } cases[] = {
        // Neither format.
        {"empty", ""},
        {"blank", "   \n"},
        {"openstep", "{ a = b; }"},
        // XML.
        {"truncated xml", "<plist version=\"1.0\"><dict><key>a</key><string>b"},
        {"key without value", "<plist><dict><key>a</key></dict></plist>"},
        {"string as key", "<plist><dict><string>a</string><true/></dict></plist>"},
        {"integer as key", "<plist><dict><integer>1</integer><true/></dict></plist>"},
        {"key outside dict", "<plist><key>a</key></plist>"},
        {"bad integer", "<plist><integer>12x</integer></plist>"},
        {"empty integer", "<plist><integer></integer></plist>"},
        {"integer over 2^64", "<plist><integer>18446744073709551616</integer></plist>"},
        {"integer under -2^63", "<plist><integer>-9223372036854775809</integer></plist>"},
        {"bad real", "<plist><real>1.5.2</real></plist>"},
        {"month 13", "<plist><date>2012-13-01T00:00:00Z</date></plist>"},
        {"february 30", "<plist><date>2012-02-30T00:00:00Z</date></plist>"},
        {"bad base64", "<plist><data>AB$C</data></plist>"},
        {"base64 one char left", "<plist><data>QUJD\nQ</data></plist>"},
        {"unknown entity", "<plist><string>&foo;</string></plist>"},
        {"entity declaration", "<!DOCTYPE plist [<!ENTITY e \"x\">]><plist><string>&e;</string></plist>"},
        {"billion laughs", "<?xml version=\"1.0\"?><!DOCTYPE lolz [<!ENTITY lol \"lol\"><!ENTITY lol2 "
                           "\"&lol;&lol;&lol;&lol;\">]><plist><string>&lol2;</string></plist>"},
        {"surrogate reference", "<plist><string>&#xD800;</string></plist>"},
        {"nul reference", "<plist><string>&#0;</string></plist>"},
        {"reference past U+10FFFF", "<plist><string>&#x110000;</string></plist>"},
        {"invalid utf-8", "<plist><string>\xC3\x28</string></plist>"},
        {"overlong utf-8", "<plist><string>\xC0\xBC</string></plist>"},
        {"mismatched tag", "<plist><string>a</strin></plist>"},
        {"mismatched container", "<plist><array><true/></dict></plist>"},
        {"unknown element", "<plist><unknown/></plist>"},
        {"two roots", "<plist><true/><true/></plist>"},
        {"trailing junk", "<plist><string>a</string></plist>junk"},
        {"unterminated comment", "<plist><string>a<!-- b</string></plist>"},
        {"unterminated cdata", "<plist><string><![CDATA[abc</string></plist>"},
        {"utf-16 declared", "<?xml version=\"1.0\" encoding=\"UTF-16\"?><plist><true/></plist>"},
        {"text in true", "<plist><true>x</true></plist>"},
        {"xml nested 600 deep", Nested("<array>", "</array>", 600)},
        {"xml dicts nested 600 deep", Nested("<dict><key>k</key>", "</dict>", 600)},
        // Binary.
        {"header only", "bplist00"},
        {"other version", "bplist01" + valid.substr(8)},
        {"truncated by one byte", valid.substr(0, valid.size() - 1)},
        {"truncated object area", valid.substr(0, 12) + valid.substr(valid.size() - 32)},
        {"offset size 0", PatchTrailer(valid, 6, 0, 1)},
        {"offset size 9", PatchTrailer(valid, 6, 9, 1)},
        {"offset size 3 over a table of 1-byte entries", PatchTrailer(valid, 6, 3, 1)},
        {"reference size 0", PatchTrailer(valid, 7, 0, 1)},
        {"reference size 9", PatchTrailer(valid, 7, 9, 1)},
        {"3-byte reference past the object count", refPastCount3.Build()},
        {"object count beyond the table", PatchTrailer(valid, 8, 1ULL << 40, 8)},
        {"object count zero", PatchTrailer(valid, 8, 0, 8)},
        {"top object out of range", PatchTrailer(valid, 16, 4, 8)},
        {"table past the end", PatchTrailer(valid, 24, valid.size(), 8)},
        {"table inside the header", PatchTrailer(valid, 24, 2, 8)},
        {"offset into the table",
         [&] {
             std::string b = valid;
             const size_t table = b.size() - 32 - 4;
             b[table + 1] = static_cast<char>(table);
             return b;
         }()},
        {"reference out of range", refOutOfRange.Build()},
        {"array count beyond the input", hugeCount.Build()},
        {"string length beyond the input", hugeString.Build()},
        {"count given as a 16-byte integer", countOfCount.Build()},
        {"integer beyond 64 bits", wideInt.Build()},
        {"array holding itself", cycle.Build()},
        {"arrays holding each other", mutualCycle.Build()},
        {"integer as key", intKey.Build()},
        {"ascii string with bad bytes", badAscii.Build()},
        {"unpaired surrogate", loneSurrogate.Build()},
        {"null object", nullObject.Build()},
        {"uid beyond 64 bits", uid.Build()},
        {"unknown marker", unknown.Build()},
        {"fill byte", fill.Build()},
        {"binary nested 600 deep", NestedBinary(600)},
    };
    static_assert(sizeof cases / sizeof cases[0] >= 30, "a corpus of at least 30 cases");
    for (const auto& c : cases) {
        Result r;
        Parse(c.bytes, &r);
        EXPECT_EQ(r.plist.value, nullptr) << c.name;
        ASSERT_NE(r.error.value, nullptr) << c.name;
        EXPECT_EQ(CFGetTypeID(r.error.value), CFErrorGetTypeID()) << c.name;
        EXPECT_EQ(CFErrorGetCode(static_cast<CFErrorRef>(const_cast<void*>(r.error.value))),
                  kCFPropertyListReadCorruptError)
            << c.name;
    }
}

TEST(PropertyListMalformed, NestingStopsAtFiveHundredTwelveLevels) {
    Result xml, binary;
    Parse(Nested("<array>", "</array>", 512), &xml);
    EXPECT_NE(xml.plist.value, nullptr);
    Parse(NestedBinary(512), &binary);
    EXPECT_NE(binary.plist.value, nullptr);
    EXPECT_TRUE(CFEqual(xml.plist.value, binary.plist.value));
    Result deeperXml, deeperBinary;
    Parse(Nested("<array>", "</array>", 513), &deeperXml);
    Parse(NestedBinary(513), &deeperBinary);
    EXPECT_EQ(deeperXml.plist.value, nullptr);
    EXPECT_EQ(deeperBinary.plist.value, nullptr);
}

TEST(PropertyListBinary, EveryOffsetAndReferenceSizeReads) {
    Result reference;
    Parse(SmallList().Build(), &reference);
    ASSERT_NE(reference.plist.value, nullptr);
    for (unsigned offsetSize = 1; offsetSize <= 8; ++offsetSize) {
        for (unsigned refSize = 1; refSize <= 8; ++refSize) {
            Bplist p;
            p.offsetSize = offsetSize;
            p.refSize = refSize;
            p.objects = {"\xA3" + p.Refs({1, 2, 3}),
                         "\x52"
                         "ab",
                         "\x09", std::string("\x10\x07", 2)};
            Result r;
            Parse(p.Build(), &r);
            ASSERT_NE(r.plist.value, nullptr) << offsetSize << " " << refSize;
            EXPECT_TRUE(CFEqual(r.plist.value, reference.plist.value)) << offsetSize << " " << refSize;
        }
    }
}

// A keyed archiver's object number reads as the XML form of it.
TEST(PropertyListBinary, UidsReadAsTheirDictionaryForm) {
    Bplist p;
    p.objects = {"\xA2" + p.Refs({1, 2}), "\x80\x05", std::string("\x81\x01\x00", 3)};
    Result r;
    Parse(p.Build(), &r);
    ASSERT_NE(r.plist.value, nullptr);
    const int64_t expected[] = {5, 256};
    for (CFIndex i = 0; i < 2; ++i) {
        auto uid = static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(static_cast<CFArrayRef>(r.plist.value), i));
        ASSERT_EQ(CFGetTypeID(uid), CFDictionaryGetTypeID());
        int64_t v = 0;
        EXPECT_TRUE(CFNumberGetValue(
            static_cast<CFNumberRef>(CFDictionaryGetValue(uid, __CFStringMakeConstantString("CF$UID"))),
            kCFNumberSInt64Type, &v));
        EXPECT_EQ(v, expected[i]);
    }
}

// Forty levels of arrays, each holding the next level twice: 2^40 values
// if references were expanded; read once and shared, it is instant.
TEST(PropertyListBinary, SharedObjectsAreReadOnce) {
    Bplist p;
    const int levels = 40;
    for (int i = 0; i < levels; ++i)
        p.objects.push_back("\xA2" + p.Refs({static_cast<uint64_t>(i + 1), static_cast<uint64_t>(i + 1)}));
    p.objects.push_back("\x51x");
    const DWORD start = ::GetTickCount();
    Result r;
    Parse(p.Build(), &r);
    EXPECT_LT(::GetTickCount() - start, 2000u);
    ASSERT_NE(r.plist.value, nullptr);
    auto top = static_cast<CFArrayRef>(r.plist.value);
    EXPECT_EQ(CFArrayGetValueAtIndex(top, 0), CFArrayGetValueAtIndex(top, 1)); // one object, shared
}

// `levels` arrays, each holding the next level twice, above the string
// `bottom`: 2^levels places over levels + 1 objects.
std::string SharedLevels(int levels, const char* bottom) {
    Bplist p;
    for (int i = 0; i < levels; ++i)
        p.objects.push_back("\xA2" + p.Refs({static_cast<uint64_t>(i + 1), static_cast<uint64_t>(i + 1)}));
    p.objects.push_back(std::string(1, static_cast<char>(0x50 + std::strlen(bottom))) + bottom);
    return p.Build();
}

// Whole-value walks over such a list (comparing, checking, copying) visit
// each shared object once; only a copy that must give every place its own
// mutable object is refused, past an allowance. Were they to walk every
// place, these would not end.
TEST(PropertyListBinary, WalksOverSharedObjectsVisitEachOnce) {
    Result a, b, other;
    Parse(SharedLevels(40, "x"), &a);
    Parse(SharedLevels(40, "x"), &b);
    Parse(SharedLevels(40, "y"), &other);
    ASSERT_TRUE(a.plist.value && b.plist.value && other.plist.value);
    EXPECT_TRUE(CFEqual(a.plist.value, b.plist.value));
    EXPECT_FALSE(CFEqual(a.plist.value, other.plist.value));
    EXPECT_TRUE(CFPropertyListIsValid(a.plist.value, kCFPropertyListXMLFormat_v1_0));
    EXPECT_TRUE(CFPropertyListIsValid(a.plist.value, kCFPropertyListBinaryFormat_v1_0));

    // Immutable, the copy shares as the original does.
    Owned copy(CFPropertyListCreateDeepCopy(nullptr, a.plist.value, kCFPropertyListImmutable));
    ASSERT_NE(copy.value, nullptr);
    auto top = static_cast<CFArrayRef>(copy.value);
    EXPECT_NE(copy.value, a.plist.value);
    EXPECT_EQ(CFArrayGetValueAtIndex(top, 0), CFArrayGetValueAtIndex(top, 1));
    EXPECT_TRUE(CFEqual(copy.value, a.plist.value));

    // Written, binary names each object once; XML, which spells out every
    // place, is refused past the same allowance as mutable copies.
    Owned binary(CFPropertyListCreateData(nullptr, a.plist.value, kCFPropertyListBinaryFormat_v1_0, 0, nullptr));
    ASSERT_NE(binary.value, nullptr);
    EXPECT_LT(CFDataGetLength(static_cast<CFDataRef>(binary.value)), 1000);
    CFErrorRef error = nullptr;
    EXPECT_EQ(Owned(CFPropertyListCreateData(nullptr, a.plist.value, kCFPropertyListXMLFormat_v1_0, 0, &error)).value,
              nullptr);
    ASSERT_NE(error, nullptr);
    CFRelease(error);

    // Mutable: a copy for every place, so 2^40 of them are refused...
    for (CFOptionFlags mutability : {kCFPropertyListMutableContainers, kCFPropertyListMutableContainersAndLeaves})
        EXPECT_EQ(Owned(CFPropertyListCreateDeepCopy(nullptr, a.plist.value, mutability)).value, nullptr);
    // ... and 2^10 made, none shared: a change in one place shows nowhere else.
    Result small;
    Parse(SharedLevels(10, "x"), &small);
    ASSERT_NE(small.plist.value, nullptr);
    Owned mutableCopy(CFPropertyListCreateDeepCopy(nullptr, small.plist.value, kCFPropertyListMutableContainers));
    ASSERT_NE(mutableCopy.value, nullptr);
    Owned xml(CFPropertyListCreateData(nullptr, small.plist.value, kCFPropertyListXMLFormat_v1_0, 0, nullptr));
    ASSERT_NE(xml.value, nullptr);
    Result reread;
    Parse(std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(static_cast<CFDataRef>(xml.value))),
                      static_cast<size_t>(CFDataGetLength(static_cast<CFDataRef>(xml.value)))),
          &reread);
    EXPECT_TRUE(CFEqual(reread.plist.value, small.plist.value));
    auto mutableTop = static_cast<CFMutableArrayRef>(const_cast<void*>(mutableCopy.value));
    auto first = static_cast<CFMutableArrayRef>(const_cast<void*>(CFArrayGetValueAtIndex(mutableTop, 0)));
    ASSERT_NE(first, CFArrayGetValueAtIndex(mutableTop, 1));
    CFArrayRemoveAllValues(first);
    EXPECT_EQ(CFArrayGetCount(static_cast<CFArrayRef>(CFArrayGetValueAtIndex(mutableTop, 1))), 2);
    EXPECT_EQ(
        CFArrayGetCount(static_cast<CFArrayRef>(CFArrayGetValueAtIndex(static_cast<CFArrayRef>(small.plist.value), 0))),
        2);
}

// A tree of distinct objects far past the allowance copies whole; nesting
// past the reader's limit and containers holding themselves are no
// property lists.
TEST(PropertyListValues, DeepCopyAndValidityOfWholeTrees) {
    Owned list(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
    auto array = static_cast<CFMutableArrayRef>(const_cast<void*>(list.value));
    for (int i = 0; i < 100000; ++i) {
        Owned item(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
        Owned number(CFNumberCreate(nullptr, kCFNumberIntType, &i));
        CFArrayAppendValue(static_cast<CFMutableArrayRef>(const_cast<void*>(item.value)), number.value);
        CFArrayAppendValue(array, item.value);
    }
    for (CFOptionFlags mutability : {kCFPropertyListImmutable, kCFPropertyListMutableContainersAndLeaves}) {
        Owned copy(CFPropertyListCreateDeepCopy(nullptr, list.value, mutability));
        ASSERT_NE(copy.value, nullptr) << mutability;
        EXPECT_TRUE(CFEqual(copy.value, list.value)) << mutability;
    }
    EXPECT_TRUE(CFPropertyListIsValid(list.value, kCFPropertyListBinaryFormat_v1_0));
    // One constant named from 200,000 places of one array: held, not
    // multiplied, so it copies and writes out whole.
    Owned flags(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
    for (int i = 0; i < 200000; ++i)
        CFArrayAppendValue(static_cast<CFMutableArrayRef>(const_cast<void*>(flags.value)), kCFBooleanTrue);
    EXPECT_NE(
        Owned(CFPropertyListCreateDeepCopy(nullptr, flags.value, kCFPropertyListMutableContainersAndLeaves)).value,
        nullptr);
    EXPECT_NE(Owned(CFPropertyListCreateData(nullptr, flags.value, kCFPropertyListXMLFormat_v1_0, 0, nullptr)).value,
              nullptr);

    Result deepest;
    Parse(NestedBinary(512), &deepest);
    ASSERT_NE(deepest.plist.value, nullptr);
    EXPECT_TRUE(CFPropertyListIsValid(deepest.plist.value, kCFPropertyListXMLFormat_v1_0));
    Owned deeper(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
    CFArrayAppendValue(static_cast<CFMutableArrayRef>(const_cast<void*>(deeper.value)), deepest.plist.value);
    EXPECT_FALSE(CFPropertyListIsValid(deeper.value, kCFPropertyListXMLFormat_v1_0));
    EXPECT_EQ(Owned(CFPropertyListCreateDeepCopy(nullptr, deeper.value, kCFPropertyListImmutable)).value, nullptr);

    auto self = static_cast<CFMutableArrayRef>(const_cast<void*>(deeper.value));
    CFArrayAppendValue(self, self);
    EXPECT_FALSE(CFPropertyListIsValid(self, kCFPropertyListXMLFormat_v1_0));
    EXPECT_EQ(Owned(CFPropertyListCreateDeepCopy(nullptr, self, kCFPropertyListImmutable)).value, nullptr);
    CFArrayRemoveValueAtIndex(self, 1); // the cycle broken, so that it can go
}

// Thousands of offset-table entries pointing at one large array: each is
// another object to the table, but the bytes are read only as far as the
// input reaches; beyond that the list is refused, before it can cost
// thousands of times the input.
TEST(PropertyListBinary, ObjectsSharingBytesAreRefused) {
    const uint64_t copies = 5000, refs = 50000;
    std::string top = "\xAF\x11" + BigEndian(copies, 2);
    for (uint64_t i = 1; i <= copies; ++i)
        top += BigEndian(i, 2);
    std::string big = "\xAF\x12" + BigEndian(refs, 4);
    for (uint64_t i = 0; i < refs; ++i)
        big += BigEndian(copies + 1, 2);
    std::string b = "bplist00" + top + big + "\x09";
    const uint64_t bigOffset = 8 + top.size();
    const uint64_t table = b.size();
    b += BigEndian(8, 4);
    for (uint64_t i = 1; i <= copies; ++i)
        b += BigEndian(bigOffset, 4);
    b += BigEndian(table - 1, 4);
    b += std::string(6, '\0') + "\x04\x02" + BigEndian(copies + 2, 8) + BigEndian(0, 8) + BigEndian(table, 8);
    Result r;
    const DWORD start = ::GetTickCount();
    Parse(b, &r);
    EXPECT_LT(::GetTickCount() - start, 2000u);
    EXPECT_EQ(r.plist.value, nullptr);
    ASSERT_NE(r.error.value, nullptr);
    Owned text(CFErrorCopyDescription(static_cast<CFErrorRef>(const_cast<void*>(r.error.value))));
    char description[512] = "";
    CFStringGetCString(static_cast<CFStringRef>(text.value), description, sizeof description, kCFStringEncodingUTF8);
    EXPECT_NE(std::strstr(description, "overlap"), nullptr) << description;
}

} // namespace
