// Property lists: reading what the program meets, writing and reading back.
#include "values/CoreFoundation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

namespace {

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

CFPropertyListRef Parse(const std::string& bytes, CFPropertyListFormat* format = nullptr,
                        CFOptionFlags options = kCFPropertyListImmutable) {
    Owned data(
        CFDataCreate(nullptr, reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<CFIndex>(bytes.size())));
    return CFPropertyListCreateWithData(nullptr, data.as<CFDataRef>(), options, format, nullptr);
}

std::string Text(CFTypeRef s) {
    const char* p = CFStringGetCStringPtr(static_cast<CFStringRef>(s), kCFStringEncodingUTF8);
    if (p)
        return p;
    char buffer[1024];
    return CFStringGetCString(static_cast<CFStringRef>(s), buffer, sizeof buffer, kCFStringEncodingUTF8) ? buffer
                                                                                                         : "<?>";
}

const void* Get(CFTypeRef dict, const char* key) {
    return CFDictionaryGetValue(static_cast<CFDictionaryRef>(dict), __CFStringMakeConstantString(key));
}

const char kInfoPlist[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>CFBundleDisplayName</key>
	<string>Orvex &amp; &#x4E2D;&#25991; <![CDATA[<raw>]]></string>
	<key>CFBundleIconFiles</key>
	<array>
		<string>Icon.png</string>
		<string/>
	</array>
	<!-- a comment -->
	<key>UIPrerenderedIcon</key>
	<true/>
	<key>Size</key>
	<integer>-12</integer>
	<key>Ratio</key>
	<real>0.5</real>
	<key>Blob</key>
	<data>
	AAEC/w==
	</data>
	<key>When</key>
	<date>2012-06-25T13:45:30Z</date>
	<key>Empty</key>
	<dict/>
</dict>
</plist>
)";

TEST(PropertyListXml, ReadsEveryKindOfValue) {
    CFPropertyListFormat format = 0;
    Owned plist(Parse(kInfoPlist, &format));
    ASSERT_NE(plist.value, nullptr);
    EXPECT_EQ(format, kCFPropertyListXMLFormat_v1_0);
    EXPECT_EQ(Text(Get(plist.value, "CFBundleDisplayName")), "Orvex & \xE4\xB8\xAD\xE6\x96\x87 <raw>");
    const void* icons = Get(plist.value, "CFBundleIconFiles");
    ASSERT_EQ(CFArrayGetCount(static_cast<CFArrayRef>(icons)), 2);
    EXPECT_EQ(Text(CFArrayGetValueAtIndex(static_cast<CFArrayRef>(icons), 0)), "Icon.png");
    EXPECT_EQ(Text(CFArrayGetValueAtIndex(static_cast<CFArrayRef>(icons), 1)), "");
    EXPECT_EQ(Get(plist.value, "UIPrerenderedIcon"), kCFBooleanTrue);
    int32_t size = 0;
    EXPECT_TRUE(CFNumberGetValue(static_cast<CFNumberRef>(Get(plist.value, "Size")), kCFNumberSInt32Type, &size));
    EXPECT_EQ(size, -12);
    double ratio = 0;
    EXPECT_TRUE(CFNumberGetValue(static_cast<CFNumberRef>(Get(plist.value, "Ratio")), kCFNumberFloat64Type, &ratio));
    EXPECT_EQ(ratio, 0.5);
    const auto* blob = static_cast<CFDataRef>(Get(plist.value, "Blob"));
    ASSERT_EQ(CFDataGetLength(blob), 4);
    EXPECT_EQ(std::memcmp(CFDataGetBytePtr(blob), "\x00\x01\x02\xFF", 4), 0);
    EXPECT_EQ(CFDateGetAbsoluteTime(static_cast<CFDateRef>(Get(plist.value, "When"))), 362324730.0);
    EXPECT_EQ(CFDictionaryGetCount(static_cast<CFDictionaryRef>(Get(plist.value, "Empty"))), 0);
}

TEST(PropertyListXml, RealsBeyondTheRangeOfADoubleBecomeInfinityOrZero) {
    const struct {
        const char* text;
        double expected;
    } cases[] = {
        {"1e400", HUGE_VAL},  {"-1e400", -HUGE_VAL}, {"1e-400", 0.0},          {"-1e-400", -0.0},
        {"0.0000e-400", 0.0}, {"+inf", HUGE_VAL},    {"-infinity", -HUGE_VAL}, {"2.5E+3", 2500.0},
    };
    for (const auto& c : cases) {
        Owned plist(Parse(std::string("<plist><real>") + c.text + "</real></plist>"));
        ASSERT_NE(plist.value, nullptr) << c.text;
        double v = 1;
        CFNumberGetValue(plist.as<CFNumberRef>(), kCFNumberFloat64Type, &v);
        EXPECT_EQ(v, c.expected) << c.text;
        EXPECT_EQ(std::signbit(v), std::signbit(c.expected)) << c.text;
    }
}

TEST(PropertyListWriter, XmlAndBinaryReadBackEqual) {
    Owned plist(Parse(kInfoPlist));
    ASSERT_NE(plist.value, nullptr);
    for (CFPropertyListFormat format : {kCFPropertyListXMLFormat_v1_0, kCFPropertyListBinaryFormat_v1_0}) {
        Owned data(CFPropertyListCreateData(nullptr, plist.value, format, 0, nullptr));
        ASSERT_NE(data.value, nullptr) << format;
        CFPropertyListFormat readFormat = 0;
        Owned back(CFPropertyListCreateWithData(nullptr, data.as<CFDataRef>(), 0, &readFormat, nullptr));
        ASSERT_NE(back.value, nullptr) << format;
        EXPECT_EQ(readFormat, format);
        EXPECT_TRUE(CFEqual(back.value, plist.value)) << format;
    }
}

TEST(PropertyListRead, MutableContainersOnRequest) {
    Owned plist(Parse("<plist><dict><key>a</key><array/></dict></plist>", nullptr, kCFPropertyListMutableContainers));
    ASSERT_NE(plist.value, nullptr);
    CFDictionarySetValue(plist.as<CFMutableDictionaryRef>(), __CFStringMakeConstantString("b"), kCFBooleanFalse);
    EXPECT_EQ(CFDictionaryGetCount(plist.as<CFDictionaryRef>()), 2);
    Owned frozen(Parse("<plist><dict/></plist>"));
    CFDictionarySetValue(frozen.as<CFMutableDictionaryRef>(), __CFStringMakeConstantString("b"), kCFBooleanFalse);
    EXPECT_EQ(CFDictionaryGetCount(frozen.as<CFDictionaryRef>()), 0); // immutable: unchanged
}

} // namespace
