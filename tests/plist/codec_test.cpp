// The property-list codec on its own: every kind of value through both
// forms and both ways of building, what the writers refuse, what shared
// objects may cost, that a failed read gives back all it made, and the
// texts of dates and data. (Hostile input of every kind is in the value
// library's corpus, tests/sim/corefoundation/plist_malformed_test.cpp.)
#include "tests/plist/tree.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using namespace plisttest;
using plist::Format;

std::string BigEndian(uint64_t v, unsigned size) {
    std::string out;
    for (unsigned i = size; i-- > 0;)
        out.push_back(static_cast<char>(v >> (8 * i)));
    return out;
}

// A binary list of the given objects, with 2-byte offsets and references.
std::string Bplist(const std::vector<std::string>& objects, uint64_t top = 0) {
    std::string b = "bplist00";
    std::vector<uint64_t> offsets;
    for (const std::string& o : objects) {
        offsets.push_back(b.size());
        b += o;
    }
    const uint64_t table = b.size();
    const unsigned offsetSize = table > 0xFFFF ? 4 : 2;
    for (uint64_t o : offsets)
        b += BigEndian(o, offsetSize);
    b += std::string(6, '\0') + static_cast<char>(offsetSize) + '\x02';
    return b + BigEndian(objects.size(), 8) + BigEndian(top, 8) + BigEndian(table, 8);
}

// The object count a binary list's trailer gives.
uint64_t ObjectCount(const std::string& b) {
    uint64_t v = 0;
    for (size_t i = b.size() - 24; i < b.size() - 16; ++i)
        v = (v << 8) | static_cast<uint8_t>(b[i]);
    return v;
}

// Values both forms hold exactly.
NodePtr Sample() {
    std::string bytes;
    for (int i = 0; i < 300; ++i)
        bytes.push_back(static_cast<char>(i * 7));
    std::vector<NodePtr> numbers;
    for (int64_t v :
         {int64_t{0}, int64_t{-1}, int64_t{255}, int64_t{256}, int64_t{65536}, int64_t{1} << 40, INT64_MIN, INT64_MAX})
        numbers.push_back(Int(v));
    numbers.push_back(Unsigned(UINT64_MAX));
    numbers.push_back(Unsigned(uint64_t{1} << 63));
    return Dict({
        {"numbers", Array(numbers)},
        {"reals", Array({Real(0.5), Real(-0.0), Real(1e300), Real(5e-324),
                         Real(std::numeric_limits<double>::infinity()), Real(3.0)})},
        {"text", Array({Str(""), Str("plain"), Str("a<b>&c \"'"), Str("\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80"),
                        Str(std::string(70000, 'x'))})},
        {"\xE4\xB8\xAD\xE6\x96\x87 key <&>", Bool(true)},
        {"data", Array({Data(""), Data("a"), Data("ab"), Data("abc"), Data(bytes)})},
        {"dates", Array({Date(0), Date(362324730), Date(-978307200), Date(-63145526400.0)})},
        {"empty", Dict()},
        {"nested", Array({Array({Dict({{"deep", Bool(false)}})}), Array()})},
    });
}

TEST(PlistCodec, EveryKindRoundTripsThroughBothFormsAndBothBuilders) {
    const NodePtr sample = Sample();
    for (Format format : {Format::Xml, Format::Binary}) {
        bool ok = false;
        const std::string bytes = WriteTree(format, sample, &ok);
        ASSERT_TRUE(ok);
        EXPECT_EQ(plist::IsBinary(bytes.data(), bytes.size()), format == Format::Binary);
        for (bool shares : {false, true}) {
            Format read = format == Format::Xml ? Format::Binary : Format::Xml;
            std::string error;
            NodePtr back = ReadTree(bytes, shares, &error, &read);
            ASSERT_NE(back, nullptr) << error;
            EXPECT_EQ(read, format);
            EXPECT_TRUE(Equal(*back, *sample)) << Show(*back);
        }
    }
}

// The binary form keeps 32-bit reals, fractions of seconds and any date.
TEST(PlistCodec, BinaryKeepsWhatTheXmlFormCannot) {
    const NodePtr only = Array({Real(0.25, true), Date(-0.5), Date(1e12), Date(-1e12)});
    bool ok = false;
    NodePtr back = ReadTree(WriteTree(Format::Binary, only, &ok));
    ASSERT_TRUE(ok);
    ASSERT_NE(back, nullptr);
    EXPECT_TRUE(Equal(*back, *only)) << Show(*back);

    // XML: a whole second, written as a 64-bit real; no date past 9999.
    back = ReadTree(WriteTree(Format::Xml, Array({Real(0.25, true), Date(-0.5)}), &ok));
    ASSERT_TRUE(ok);
    ASSERT_NE(back, nullptr);
    EXPECT_TRUE(Equal(*back, *Array({Real(0.25), Date(-1)}))) << Show(*back);
    for (double seconds : {1e12, -1e12, 252423993600.0, -63145526401.0, std::nan("")}) {
        WriteTree(Format::Xml, Date(seconds), &ok);
        EXPECT_FALSE(ok) << seconds;
    }
}

// Text given as UTF-16 (as the value library holds it).
class WideText final : public plist::Source {
  public:
    explicit WideText(std::u16string units) : m_units(std::move(units)) {}
    bool Describe(Handle, Node* node) const override {
        node->kind = plist::Kind::String;
        node->text.utf16 = m_units;
        node->text.wide = true;
        return true;
    }
    Handle Item(Handle, size_t) const override { return nullptr; }
    bool Key(Handle, size_t, plist::Text*) const override { return false; }
    Handle EntryValue(Handle, size_t) const override { return nullptr; }

  private:
    std::u16string m_units;
};

TEST(PlistCodec, WideTextWritesAsUtf8AndNarrowsWhenAscii) {
    const struct {
        std::u16string units;
        const char* utf8;
    } cases[] = {{u"plain", "plain"}, {u"\u00E9\u4E2D\U0001F600", "\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80"}};
    for (const auto& c : cases) {
        for (Format format : {Format::Xml, Format::Binary}) {
            std::string bytes;
            ASSERT_TRUE(plist::Write(format, WideText(c.units), nullptr, &bytes));
            NodePtr back = ReadTree(bytes);
            ASSERT_NE(back, nullptr);
            EXPECT_EQ(back->text, c.utf8);
        }
    }
    std::string bytes;
    ASSERT_TRUE(plist::Write(Format::Binary, WideText(u"plain"), nullptr, &bytes));
    EXPECT_NE(bytes.find("\x55plain"), std::string::npos) << "ASCII text is written as bytes";
}

TEST(PlistCodec, WritersRefuseWhatIsNoPropertyList) {
    NodePtr invalid = Str("x");
    invalid->invalid = true;
    NodePtr deep = Array();
    for (int i = 1; i < plist::kMaxDepth + 1; ++i)
        deep = Array({deep});
    NodePtr cycle = Array({Int(1)});
    cycle->items.push_back(cycle);
    const struct {
        const char* name;
        NodePtr value;
    } cases[] = {
        {"no property list", Dict({{"a", Array({invalid})}})},
        {"text not UTF-8", Array({Str("\xC3\x28")})},
        {"key not UTF-8", Dict({{"\xED\xA0\x80", Bool(true)}})},
        {"nesting one level too deep", deep},
        {"an array holding itself", cycle},
    };
    for (const auto& c : cases) {
        for (Format format : {Format::Xml, Format::Binary}) {
            bool ok = true;
            EXPECT_EQ(WriteTree(format, c.value, &ok), "untouched") << c.name;
            EXPECT_FALSE(ok) << c.name;
        }
    }
    cycle->items.clear(); // let the cycle go
    for (Format format : {Format::Xml, Format::Binary}) {
        std::string bytes;
        EXPECT_FALSE(plist::Write(format, WideText(u"a\xD800"), nullptr, &bytes)) << "an unpaired surrogate";
    }
    // The deepest nesting the writers take reads back.
    bool ok = false;
    NodePtr back = ReadTree(WriteTree(Format::Binary, deep->items[0], &ok));
    EXPECT_TRUE(ok);
    EXPECT_NE(back, nullptr);
}

TEST(PlistCodec, BinaryWriterWritesSharedContainersAndEqualLeavesOnce) {
    NodePtr record = Dict({{"name", Str("same")}, {"flag", Bool(true)}});
    std::vector<NodePtr> items;
    for (int i = 0; i < 1000; ++i)
        items.push_back(i % 2 ? record : Dict({{"name", Str("same")}, {"n", Int(i % 3)}}));
    const NodePtr list = Array(items);
    bool ok = false;
    const std::string bytes = WriteTree(Format::Binary, list, &ok);
    ASSERT_TRUE(ok);
    // The array, the shared record, 500 other dictionaries, and the keys
    // "name", "flag", "n", "same", true and 0 to 2 once each.
    EXPECT_EQ(ObjectCount(bytes), 1u + 1 + 500 + 8);
    TreeBuilder builder(true);
    plist::Builder::Handle root = nullptr;
    ASSERT_TRUE(plist::ReadBinary(bytes.data(), bytes.size(), builder, &root));
    NodePtr back = builder.Take(root);
    EXPECT_TRUE(Equal(*back, *list));
    EXPECT_EQ(back->items[1], back->items[3]) << "read once, shared";
}

// Forty levels of arrays, each holding the next twice: 2^40 values if every
// reference were copied.
std::string Doubling(int levels) {
    std::vector<std::string> objects;
    for (int i = 0; i < levels; ++i)
        objects.push_back("\xA2" + BigEndian(i + 1, 2) + BigEndian(i + 1, 2));
    objects.push_back("\x09");
    return Bplist(objects);
}

// An array of `count` references to one object.
std::string ManyReferences(const std::string& object, size_t count) {
    std::string array = "\xAF\x12" + BigEndian(count, 4);
    for (size_t i = 0; i < count; ++i)
        array += BigEndian(1, 2);
    return Bplist({array, object});
}

TEST(PlistCodec, CopiesOfSharedObjectsStayWithinWhatTheInputAllows) {
    const DWORD start = ::GetTickCount();
    std::string error;
    EXPECT_EQ(ReadTree(Doubling(40), false, &error), nullptr);
    EXPECT_NE(error.find("copied beyond"), std::string::npos) << error;
    TreeBuilder sharing(true);
    plist::Builder::Handle root = nullptr;
    const std::string doubling = Doubling(40);
    ASSERT_TRUE(plist::ReadBinary(doubling.data(), doubling.size(), sharing, &root));
    sharing.Take(root);
    EXPECT_EQ(sharing.made(), 41) << "each object made once";

    // Within the budgets: a short text and a small dictionary named many
    // times over, as writers that share equal values produce.
    const std::string text = "\x5F\x11" + BigEndian(4096, 2) + std::string(4096, 't');
    NodePtr back = ReadTree(ManyReferences(text, 1000));
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->items.size(), 1000u);
    EXPECT_EQ(back->items[999]->text.size(), 4096u);
    // Beyond them: 1 MiB of data copied 100 times.
    const std::string data = "\x4F\x12" + BigEndian(1 << 20, 4) + std::string(1 << 20, 'd');
    EXPECT_EQ(ReadTree(ManyReferences(data, 100), false, &error), nullptr);
    EXPECT_NE(error.find("copied beyond"), std::string::npos) << error;
    EXPECT_NE(ReadTree(ManyReferences(data, 100), true), nullptr) << "shared, it is made once";
    EXPECT_LT(::GetTickCount() - start, 5000u);
}

// Every way a read can stop halfway gives back all the reader made: each
// cut of the sample in both forms, and each byte of the binary form set to
// values that change its meaning.
TEST(PlistCodec, FailedReadsGiveBackEverythingTheyMade) {
    const NodePtr sample =
        Dict({{"a", Array({Int(1), Str("two"), Dict({{"k", Data("xyz")}}), Date(5), Real(1.5)})}, {"b", Bool(false)}});
    for (Format format : {Format::Xml, Format::Binary}) {
        const std::string bytes = WriteTree(format, sample);
        const size_t whole = format == Format::Xml ? bytes.rfind("</plist>") : bytes.size();
        for (bool shares : {false, true}) {
            for (size_t cut = 0; cut < whole; ++cut)
                EXPECT_EQ(ReadTree(bytes.substr(0, cut), shares), nullptr) << cut;
        }
    }
    const std::string binary = WriteTree(Format::Binary, sample);
    for (size_t at = 8; at < binary.size(); ++at) {
        for (uint8_t v : {0x00, 0x01, 0x0F, 0x5F, 0xA1, 0xD1, 0xFF}) {
            std::string changed = binary;
            changed[at] = static_cast<char>(v);
            ReadTree(changed, at % 2 == 0); // the helper checks what is left out
        }
    }
}

TEST(PlistTexts, DatesAreCheckedAgainstTheCalendar) {
    const struct {
        const char* text;
        bool valid;
        double seconds;
    } cases[] = {
        {"2001-01-01T00:00:00Z", true, 0},
        {"1970-01-01T00:00:00Z", true, -978307200},
        {"2000-02-29T23:59:59Z", true, -26438401},
        {"0000-01-01T00:00:00Z", true, -63145526400.0},
        {"9999-12-31T23:59:59Z", true, 252423993599.0},
        {"1900-02-29T00:00:00Z", false, 0},
        {"2012-04-31T00:00:00Z", false, 0},
        {"2012-01-01T24:00:00Z", false, 0},
        {"2012-01-01T00:00:60Z", false, 0},
        {"2012-01-01 00:00:00Z", false, 0},
        {"2012-01-01T00:00:00", false, 0},
        {"2012-1-01T00:00:00Z", false, 0},
    };
    for (const auto& c : cases) {
        double seconds = 7;
        EXPECT_EQ(plist::ParseDate(c.text, &seconds), c.valid) << c.text;
        if (!c.valid)
            continue;
        EXPECT_EQ(seconds, c.seconds) << c.text;
        EXPECT_EQ(plist::FormatDate(seconds), c.text);
        EXPECT_TRUE(plist::DateFitsXml(seconds)) << c.text;
    }
    EXPECT_EQ(plist::FormatDate(-0.5), "2000-12-31T23:59:59Z") << "the second is rounded down";
    EXPECT_EQ(plist::FormatDate(std::nan("")), "1970-01-01T00:00:00Z");
    EXPECT_FALSE(plist::DateFitsXml(252423993600.0));
    EXPECT_FALSE(plist::DateFitsXml(-63145526401.0));
}

TEST(PlistTexts, Base64DecodesOnlyWholeGroups) {
    const struct {
        const char* text;
        bool valid;
        const char* bytes;
        bool canonical; // what the encoder writes
    } cases[] = {
        {"", true, "", true},
        {"Zg==", true, "f", true},
        {"Zm8=", true, "fo", true},
        {"Zm9vYmFy", true, "foobar", true},
        {" Zm9v\n\tYmFy ", true, "foobar", false},
        {"Zm8", true, "fo", false},
        {"Z", false, "", false},
        {"Zg=a", false, "", false},
        {"Zg===", false, "", false},
        {"Z$==", false, "", false},
        {"Zm9v\x01", false, "", false},
    };
    for (const auto& c : cases) {
        std::string bytes = "untouched";
        EXPECT_EQ(plist::DecodeBase64(c.text, &bytes), c.valid) << c.text;
        EXPECT_EQ(bytes, c.valid ? c.bytes : "untouched") << c.text;
        if (c.canonical) {
            EXPECT_EQ(plist::EncodeBase64(c.bytes), c.text);
        }
    }
}

} // namespace
