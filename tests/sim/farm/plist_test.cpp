// The farm's property-list layer: what it reads, what it refuses, and that
// what it writes reads back the same, in both forms.
#include "sim/farm/farm.h"
#include "sim/farm/plist.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace {

using simfarm::Value;

TEST(FarmPlist, RoundTripsEveryKind) {
    Value dict = Value::Dict();
    dict.Set("bool", Value::Bool(true));
    dict.Set("negative", Value::Integer(-42));
    dict.Set("big", Value::Unsigned(18446744073709551615ULL));
    dict.Set("real", Value::Real(0.25));
    dict.Set("text", Value::String("a<b>&c \xE8\xBF\x9E"));
    dict.Set("empty", Value::String(""));
    dict.Set("data", Value::Data(std::string("\x00\x01\xFEzz", 5)));
    dict.Set("date", Value::Date(362000000.0));
    Value list = Value::Array();
    list.Append(Value::Integer(1));
    list.Append(Value::Dict());
    list.Append(Value::Array());
    dict.Set("list", list);
    std::string forms[2];
    ASSERT_TRUE(simfarm::WriteXmlPlist(dict, &forms[0]));
    ASSERT_TRUE(simfarm::WriteBinaryPlist(dict, &forms[1]));
    EXPECT_EQ(forms[1].compare(0, 8, "bplist00"), 0);
    for (const std::string& form : forms) {
        Value back;
        std::string error;
        ASSERT_TRUE(simfarm::ReadPlist(form, &back, &error)) << error;
        EXPECT_EQ(back, dict);
        EXPECT_TRUE(back.Find("big")->isUnsigned());
        EXPECT_EQ(simfarm::ValueText(*back.Find("big")), "18446744073709551615");
        EXPECT_EQ(back.entries().front().first, "bool") << "insertion order is kept";
    }
    Value back;
    EXPECT_FALSE(simfarm::ReadXmlPlist(forms[1], &back)) << "the XML reader takes XML only";
    dict.Set("nothing", Value());
    EXPECT_FALSE(simfarm::WriteXmlPlist(dict, &forms[0])) << "a Null value cannot be written";
    EXPECT_FALSE(simfarm::WriteBinaryPlist(dict, &forms[1]));
}

// A key given twice is refused in the binary form as in XML.
TEST(FarmPlist, RefusesAKeyGivenTwiceInABinaryList) {
    Value dict = Value::Dict();
    dict.Set("a", Value::Bool(true));
    dict.Set("b", Value::Bool(false));
    std::string binary;
    ASSERT_TRUE(simfarm::WriteBinaryPlist(dict, &binary));
    Value v;
    ASSERT_TRUE(simfarm::ReadPlist(binary, &v));
    const size_t b = binary.find("\x51\x62"); // the one-letter string "b"
    ASSERT_NE(b, std::string::npos);
    binary[b + 1] = 'a';
    std::string error;
    EXPECT_FALSE(simfarm::ReadPlist(binary, &v, &error));
    EXPECT_NE(error.find("duplicate"), std::string::npos) << error;
}

// A dictionary of 200,000 keys reads in one pass: looking each key up
// among those before it would take minutes.
TEST(FarmPlist, LargeDictionariesReadWithoutSearchingForEachKey) {
    std::string xml = "<plist><dict>";
    for (int i = 0; i < 200000; ++i)
        xml += "<key>k" + std::to_string(i) + "</key><true/>";
    xml += "</dict></plist>";
    const DWORD start = ::GetTickCount();
    Value v;
    ASSERT_TRUE(simfarm::ReadPlist(xml, &v));
    EXPECT_LT(::GetTickCount() - start, 10000u);
    EXPECT_EQ(v.entries().size(), 200000u);
    EXPECT_EQ(v.entries().back().first, "k199999");
}

TEST(FarmPlist, ReadsWhatOtherWritersProduce) {
    struct Case {
        const char* xml;
        const char* key;
        const char* text;
    } cases[] = {
        {"<plist><dict><key>a</key><string>x &amp; y &#x41;&#66;</string></dict></plist>", "a", "x & y AB"},
        {"<?xml version=\"1.0\"?><!-- c --><plist version=\"1.0\"><dict>\n\t<key>a</key>\n\t<integer> 12 "
         "</integer>\n</dict></plist>\n",
         "a", "12"},
        {"<plist><dict><key>a</key><data>\n  AAEC\n  /w==\n</data></dict></plist>", "a", "000102ff"},
        {"<plist><dict><key>a</key><true/></dict></plist>", "a", "true"},
        {"<plist><dict><key>a</key><string/></dict></plist>", "a", ""},
        {"<plist><dict><key>a</key><date>2012-06-25T08:30:00Z</date></dict></plist>", "a", "2012-06-25T08:30:00Z"},
        {"<dict><key>a</key><real>-1.5</real></dict>", "a", "-1.5"},
        {"<plist><dict><key>a</key><string><![CDATA[<x>]]>&lt;</string></dict></plist>", "a", "<x><"},
    };
    for (const Case& c : cases) {
        Value v;
        std::string error;
        ASSERT_TRUE(simfarm::ReadXmlPlist(c.xml, &v, &error)) << c.xml << ": " << error;
        ASSERT_NE(v.Find(c.key), nullptr) << c.xml;
        EXPECT_EQ(simfarm::ValueText(*v.Find(c.key)), c.text) << c.xml;
    }
}

TEST(FarmPlist, RefusesDamagedInput) {
    std::string deep;
    for (int i = 0; i < 200; ++i)
        deep += "<array>";
    const std::string cases[] = {
        "",
        "<plist>",
        "<plist><dict><key>a</key></dict></plist>",
        "<plist><dict><string>no key</string></dict></plist>",
        "<plist><dict><key>a</key><string>1</string><key>a</key><string>2</string></dict></plist>",
        "<plist><integer>12x</integer></plist>",
        "<plist><integer>99999999999999999999999</integer></plist>",
        "<plist><data>A*==</data></plist>",
        "<plist><date>yesterday</date></plist>",
        "<plist><string>a &bogus; b</string></plist>",
        "<plist><string>&#0;</string></plist>",
        "<plist><unknown/></plist>",
        "<plist><string>a</string></plist>trailing",
        "<plist><string>\xC3\x28</string></plist>",
        deep,
    };
    for (const std::string& xml : cases) {
        Value v = Value::String("untouched");
        std::string error;
        EXPECT_FALSE(simfarm::ReadXmlPlist(xml, &v, &error)) << xml.substr(0, 80);
        EXPECT_EQ(v, Value::String("untouched")) << "the output is written only on success";
        EXPECT_FALSE(error.empty());
    }
}

TEST(FarmPlist, ValueTextParsesEachType) {
    struct Case {
        const char* type;
        const char* text;
        bool ok;
        const char* back;
    } cases[] = {
        {"string", "hello", true, "hello"},
        {"integer", "-5", true, "-5"},
        {"integer", "5x", false, ""},
        {"bool", "yes", true, "true"},
        {"bool", "maybe", false, ""},
        {"data", "0aFF", true, "0aff"},
        {"data", "abc", false, ""},
        {"real", "2.5", true, "2.5"},
        {"date", "2001-01-01T00:00:00Z", true, "2001-01-01T00:00:00Z"},
        {"colour", "red", false, ""},
    };
    for (const Case& c : cases) {
        Value v;
        std::string error;
        EXPECT_EQ(simfarm::ParseValueText(c.type, c.text, &v, &error), c.ok) << c.type << " " << c.text;
        if (c.ok) {
            EXPECT_EQ(simfarm::ValueText(v), c.back);
        }
    }
}

TEST(FarmPlist, Base64MatchesTheStandard) {
    const char* cases[][2] = {{"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foobar", "Zm9vYmFy"}};
    for (const auto& c : cases) {
        EXPECT_EQ(simfarm::EncodeBase64(c[0]), c[1]);
        std::string back;
        ASSERT_TRUE(simfarm::DecodeBase64(c[1], &back));
        EXPECT_EQ(back, c[0]);
    }
}

TEST(FarmIdentifiers, OnlySafeFolderNames) {
    EXPECT_TRUE(simfarm::IsValidUdid(simfarm::MakeUdid()));
    EXPECT_EQ(simfarm::MakeUdid().size(), 40u);
    EXPECT_NE(simfarm::MakeUdid(), simfarm::MakeUdid());
    for (const char* bad : {"", "..", "a/b", "a\\b", "c:", "x y",
                            "0123456789012345678901234567890123456789012345678901234567890123456789"})
        EXPECT_FALSE(simfarm::IsValidUdid(bad)) << bad;
}

} // namespace
