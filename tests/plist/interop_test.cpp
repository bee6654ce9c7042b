// The codec against an independent implementation: it reads what Python's
// plistlib and libplist's plistutil write (make_plists.py, at build time),
// and plistutil reads what it writes, in both forms, into the same values.
#include "tests/plist/tree.h"
#include "tests/support/test_util.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cwchar>

namespace {

using namespace plisttest;
using plist::Format;

std::wstring DataFolder() { return testutil::ProgramFolder() + L"\\..\\testdata\\plist\\"; }

NodePtr ReadFile(const std::wstring& path, bool shares = false) {
    std::string bytes, error;
    if (!testutil::ReadFileBytes(path, &bytes)) {
        ADD_FAILURE() << "cannot read the test data";
        return nullptr;
    }
    NodePtr value = ReadTree(bytes, shares, &error);
    EXPECT_NE(value, nullptr) << error;
    return value;
}

const Node* Find(const NodePtr& dict, const char* key) {
    for (const auto& entry : dict->entries) {
        if (entry.first == key)
            return entry.second.get();
    }
    ADD_FAILURE() << "no " << key;
    static const Node none;
    return &none;
}

TEST(PlistInterop, ReadsWhatPlistlibAndPlistutilWrite) {
    const NodePtr reference = ReadFile(DataFolder() + L"plistlib.xml");
    ASSERT_NE(reference, nullptr);
    // A few values the writers could get wrong in the same way as a reader.
    EXPECT_TRUE(Equal(*Find(reference, "max_uint64"), *Unsigned(UINT64_MAX)));
    EXPECT_TRUE(Equal(*Find(reference, "min_int64"), *Int(INT64_MIN)));
    EXPECT_TRUE(Equal(*Find(reference, "date"), *Date(362324730)));
    EXPECT_TRUE(Equal(*Find(reference, "astral"), *Str("\xF0\x9F\x98\x80\xF0\xA0\x80\x80 outside the basic plane")));
    EXPECT_TRUE(Equal(*Find(reference, "entities"), *Str("<&>\"' ]]>")));
    EXPECT_EQ(Find(reference, "data")->text.size(), 256u);
    EXPECT_EQ(Find(reference, "\xE4\xB8\xAD\xE6\x96\x87\xE9\x94\xAE")->text, "unicode key");
    for (const wchar_t* file : {L"plistlib.bin", L"plistutil.xml", L"plistutil.bin"}) {
        for (bool shares : {false, true}) {
            NodePtr value = ReadFile(DataFolder() + file, shares);
            ASSERT_NE(value, nullptr);
            EXPECT_TRUE(SameValue(*value, *reference)) << Show(*value);
        }
    }
    const NodePtr large = ReadFile(DataFolder() + L"large.plistlib.xml");
    ASSERT_NE(large, nullptr);
    EXPECT_EQ(Find(large, "items")->items.size(), 3000u);
    for (const wchar_t* file : {L"large.plistlib.bin", L"large.plistutil.xml", L"large.plistutil.bin"}) {
        NodePtr value = ReadFile(DataFolder() + file);
        ASSERT_NE(value, nullptr);
        EXPECT_TRUE(SameValue(*value, *large));
    }
}

// Runs plistutil (natively, outside Wine) to convert `from` into `to`;
// what went wrong, or nothing. Wine cannot wait for a Unix process, so a
// shell moves the finished output into place (or leaves a mark of failure)
// and the test waits for that.
std::string Plistutil(const std::wstring& from, const std::wstring& to, const char* format) {
    const std::string out = testutil::UnixPath(to);
    const std::string script = "plistutil -i '" + testutil::UnixPath(from) + "' -o '" + out + ".part' -f " + format +
                               " && mv '" + out + ".part' '" + out + "' || touch '" + out + ".failed'";
    std::wstring error;
    if (!testutil::StartLinuxProgram("/bin/sh", L"-c \"" + std::wstring(script.begin(), script.end()) + L"\"", &error))
        return "the shell did not start: " + std::string(error.begin(), error.end());
    for (int i = 0; i < 3000; ++i) {
        if (::GetFileAttributesW(to.c_str()) != INVALID_FILE_ATTRIBUTES)
            return std::string();
        if (::GetFileAttributesW((to + L".failed").c_str()) != INVALID_FILE_ATTRIBUTES)
            return script + " failed";
        ::Sleep(20);
    }
    return script + " did not finish within a minute";
}

TEST(PlistInterop, PlistutilReadsWhatTheCodecWrites) {
    testutil::TempDir temp;
    int run = 0;
    for (const wchar_t* source : {L"plistlib.xml", L"large.plistlib.xml"}) {
        const NodePtr value = ReadFile(DataFolder() + source);
        ASSERT_NE(value, nullptr);
        const struct {
            Format ours;
            const char* theirs;
        } forms[] = {{Format::Xml, "bin"}, {Format::Binary, "xml"}};
        for (const auto& form : forms) {
            SCOPED_TRACE(std::string(form.theirs) + " from " + std::string(source, source + wcslen(source)));
            bool ok = false;
            ASSERT_TRUE(testutil::WriteFileBytes(temp / L"ours", WriteTree(form.ours, value, &ok)));
            ASSERT_TRUE(ok);
            const std::wstring theirs = temp / (L"theirs-" + std::to_wstring(++run));
            ASSERT_EQ(Plistutil(temp / L"ours", theirs, form.theirs), "");
            NodePtr back = ReadFile(theirs);
            ASSERT_NE(back, nullptr);
            EXPECT_TRUE(SameValue(*back, *value)) << Show(*back);
        }
    }
}

} // namespace
