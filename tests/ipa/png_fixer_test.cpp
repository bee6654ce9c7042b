// The normaliser's results and errors. What the converted files hold, pixel
// by pixel, is checked independently afterwards by ipa_fixtures.py (the
// ipa_png_decode test), from the files this program leaves in the results
// folder.
#include "ipa/ipa_exception.h"
#include "ipa/png_fixer.h"
#include "platform/file.h"
#include "tests/ipa/ipa_test_util.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <objidl.h>

#include <gdiplus.h>

namespace {

using ipatest::DataPath;
using ipatest::PngResultsFolder;
using ipatest::ReadAll;

// GDI+ is started by the library loader in production; here by the test.
class GdiplusEnvironment : public testing::Environment {
  public:
    void SetUp() override {
        Gdiplus::GdiplusStartupInput input;
        ASSERT_EQ(Gdiplus::GdiplusStartup(&m_token, &input, nullptr), Gdiplus::Ok);
        RemoveLocalTree(PngResultsFolder());
        ASSERT_TRUE(::CreateDirectoryW(PngResultsFolder().c_str(), nullptr));
    }
    void TearDown() override { Gdiplus::GdiplusShutdown(m_token); }

  private:
    ULONG_PTR m_token = 0;
};
const auto* const g_gdiplus = testing::AddGlobalTestEnvironment(new GdiplusEnvironment);

const std::string kSignature("\x89PNG\r\n\x1a\n", 8);

std::wstring Result(const std::wstring& name) { return PngResultsFolder() + L"\\" + name; }

TEST(PngFixer, DeviceIconsBecomeStandardPngs) {
    // One IDAT; the variant signature; a zlib header kept by the writer; one
    // stream split over three IDATs; two streams in two IDATs; more than 20
    // chunks; 1024 x 1024 pixels.
    for (const wchar_t* name : {L"cgbi_one.png", L"cgbi_variant.png", L"cgbi_zlib.png", L"cgbi_split.png",
                                L"cgbi_streams.png", L"cgbi_many.png", L"cgbi_1024.png"}) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(name)));
        CPngFixer fixer(DataPath(std::wstring(L"png\\") + name).c_str());
        ASSERT_EQ(fixer.ConvertToFile(Result(name).c_str()), 1);
        EXPECT_EQ(ReadAll(Result(name)).substr(0, 8), kSignature);
        ASSERT_GT(fixer.RebuiltPngLength(), 8u);
        std::string rebuilt(reinterpret_cast<const char*>(fixer.RebuiltPng()), fixer.RebuiltPngLength());
        EXPECT_EQ(rebuilt.substr(0, 8), kSignature);
        EXPECT_EQ(rebuilt.substr(rebuilt.size() - 12), std::string("\0\0\0\0IEND\xae\x42\x60\x82", 12));
        ASSERT_TRUE(testutil::WriteFileBytes(Result(std::wstring(name) + L".rebuilt"), rebuilt));
    }
}

TEST(PngFixer, PlainPngAndJpegAreSavedThroughTheEncoder) {
    CPngFixer plain(DataPath(L"png\\plain.png").c_str());
    EXPECT_EQ(plain.ConvertToFile(Result(L"plain.png").c_str()), 1);
    EXPECT_EQ(plain.RebuiltPngLength(), 0u); // nothing recompressed

    CPngFixer jpeg(DataPath(L"png\\photo.jpg").c_str());
    EXPECT_EQ(jpeg.ConvertToFile(Result(L"photo.png").c_str()), 1);
    EXPECT_EQ(ReadAll(Result(L"photo.png")).substr(0, 8), kSignature);
}

TEST(PngFixer, UnusableInputWritesNoFile) {
    testutil::TempDir dir;
    ASSERT_TRUE(testutil::WriteFileBytes(dir / L"empty.png", ""));
    ASSERT_TRUE(testutil::WriteFileBytes(dir / L"text.png", "this is not an image at all"));
    ASSERT_TRUE(testutil::WriteFileBytes(dir / L"signature_only.png", kSignature));
    for (const std::wstring& input : {DataPath(L"png\\truncated.png"), DataPath(L"png\\no_iend.png"),
                                      dir / L"empty.png", dir / L"text.png", dir / L"signature_only.png"}) {
        SCOPED_TRACE(testing::PrintToString(input));
        CPngFixer fixer(input.c_str());
        EXPECT_EQ(fixer.ConvertToFile((dir / L"out.png").c_str()), 0);
        EXPECT_FALSE(IsLocalFile(dir / L"out.png"));
    }
}

TEST(PngFixer, ZlibFailuresRaiseTheirTextAndWriteNoFile) {
    struct Case {
        const wchar_t* input;
        const wchar_t* text;
    } cases[] = {
        {L"png\\cgbi_corrupt.png", L"ZLib error! -3\n"},
        {L"png\\cgbi_huge.png", L"ZLib error! -4\n"}, // inflates beyond 64 MiB
    };
    testutil::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.input)));
        CPngFixer fixer(DataPath(c.input).c_str());
        try {
            fixer.ConvertToFile((dir / L"out.png").c_str());
            ADD_FAILURE() << "no error raised";
        } catch (const CIpaException& e) {
            EXPECT_EQ(e.Description(), c.text);
        }
        EXPECT_FALSE(IsLocalFile(dir / L"out.png"));
    }
}

TEST(PngFixer, MissingInputRaisesAFileError) {
    try {
        CPngFixer fixer(DataPath(L"png\\no such file.png").c_str());
        ADD_FAILURE() << "no error raised";
    } catch (const CIpaException& e) {
        EXPECT_NE(e.Description().find(L"no such file.png"), std::wstring::npos);
    }
}

} // namespace
