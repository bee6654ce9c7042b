// The installer's resources as the program finds them at run time: every skin
// image with its size, the packages, the main dialog's template, the icon and
// the manifest.
#include "res/resource.h"
#include "tests/support/test_util.h"

#include <windows.h>

#include <objidl.h>
#include <shlwapi.h>

#include <gdiplus.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

// The bytes of one resource of this program, empty when it is missing.
std::string_view ResourceBytes(unsigned id, const wchar_t* type) {
    HRSRC info = ::FindResourceW(nullptr, MAKEINTRESOURCEW(id), type);
    if (!info)
        return {};
    HGLOBAL loaded = ::LoadResource(nullptr, info);
    const void* data = loaded ? ::LockResource(loaded) : nullptr;
    if (!data)
        return {};
    return {static_cast<const char*>(data), ::SizeofResource(nullptr, info)};
}

uint32_t BigEndian32(std::string_view bytes, size_t at) {
    auto b = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + i])); };
    return b(0) << 24 | b(1) << 16 | b(2) << 8 | b(3);
}

// The window's skin: resource number, size and interlacing, as the window's
// geometry expects them.
struct SkinImage {
    unsigned id;
    int width;
    int height;
    bool interlaced;
};

constexpr SkinImage kSkin[] = {
    {1003, 390, 220, false}, {171, 313, 40, false}, {172, 313, 40, false}, {184, 313, 40, false}, {176, 313, 40, false},
    {173, 313, 40, false},   {174, 313, 40, false}, {175, 21, 40, false},  {177, 36, 40, true},   {183, 36, 40, true},
    {179, 48, 40, true},     {180, 48, 40, true},   {186, 24, 25, true},   {187, 32, 40, false},  {188, 32, 40, false},
    {189, 32, 40, false},    {190, 32, 40, false},  {191, 32, 40, false},  {192, 32, 40, false},  {7, 32, 40, false},
    {194, 32, 40, false},    {195, 32, 40, false},  {196, 32, 40, false},  {197, 32, 40, false},  {198, 32, 40, false},
};

std::string Name(const SkinImage& image) { return "PNG " + std::to_string(image.id); }

TEST(SkinImages, AreFoundWithTheTableHeader) {
    static const char kSignature[] = "\x89PNG\r\n\x1a\n";
    for (const SkinImage& image : kSkin) {
        SCOPED_TRACE(Name(image));
        std::string_view png = ResourceBytes(image.id, ORVEX_RT_PNG);
        ASSERT_GT(png.size(), 33u);
        ASSERT_EQ(png.substr(0, 8), std::string_view(kSignature, 8));
        ASSERT_EQ(png.substr(12, 4), "IHDR");
        EXPECT_EQ(BigEndian32(png, 16), static_cast<uint32_t>(image.width));
        EXPECT_EQ(BigEndian32(png, 20), static_cast<uint32_t>(image.height));
        EXPECT_EQ(png[24], 8) << "bit depth";
        EXPECT_EQ(png[25], 6) << "colour type RGBA";
        EXPECT_EQ(png[28], image.interlaced ? 1 : 0) << "interlace method";
    }
}

TEST(SkinImages, SpinnerFramesAllDiffer) {
    std::vector<std::string_view> frames;
    for (unsigned id : kSpinnerFrames)
        frames.push_back(ResourceBytes(id, ORVEX_RT_PNG));
    for (size_t i = 0; i < frames.size(); ++i)
        for (size_t j = i + 1; j < frames.size(); ++j)
            EXPECT_NE(frames[i], frames[j]) << "frames " << i << " and " << j;
}

// Decodes with GDI+ as the window does: a stream over a copy of the bytes.
class Decoded : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        Gdiplus::GdiplusStartupInput input;
        ASSERT_EQ(Gdiplus::GdiplusStartup(&s_token, &input, nullptr), Gdiplus::Ok);
    }
    static void TearDownTestSuite() { Gdiplus::GdiplusShutdown(s_token); }

    static std::unique_ptr<Gdiplus::Bitmap> Decode(unsigned id) {
        std::string_view png = ResourceBytes(id, ORVEX_RT_PNG);
        if (png.empty())
            return nullptr;
        IStream* stream = ::SHCreateMemStream(reinterpret_cast<const BYTE*>(png.data()), static_cast<UINT>(png.size()));
        if (!stream)
            return nullptr;
        std::unique_ptr<Gdiplus::Bitmap> bitmap(Gdiplus::Bitmap::FromStream(stream));
        stream->Release();
        if (bitmap && bitmap->GetLastStatus() != Gdiplus::Ok)
            bitmap.reset();
        return bitmap;
    }

    static ULONG_PTR s_token;
};
ULONG_PTR Decoded::s_token = 0;

TEST_F(Decoded, EveryImageHasItsSizeAndAlpha) {
    for (const SkinImage& image : kSkin) {
        SCOPED_TRACE(Name(image));
        auto bitmap = Decode(image.id);
        ASSERT_TRUE(bitmap);
        EXPECT_EQ(bitmap->GetWidth(), static_cast<UINT>(image.width));
        EXPECT_EQ(bitmap->GetHeight(), static_cast<UINT>(image.height));
        EXPECT_TRUE(Gdiplus::IsAlphaPixelFormat(bitmap->GetPixelFormat()));
    }
}

// Pixels of the background that the window's layout relies on.
TEST_F(Decoded, BackgroundPanelMarginAndWebAddress) {
    auto bg = Decode(IDB_BACKGROUND);
    ASSERT_TRUE(bg);
    auto pixel = [&](int x, int y) {
        Gdiplus::Color c;
        bg->GetPixel(x, y, &c);
        return c;
    };
    EXPECT_EQ(pixel(0, 0).GetA(), 0) << "the margin around the panel is transparent";
    EXPECT_EQ(pixel(389, 219).GetA(), 0);
    EXPECT_EQ(pixel(60, 150).GetA(), 255) << "the panel is opaque";
    EXPECT_GT(pixel(60, 150).GetR(), 200) << "the panel is light";

    // Ink of the web address: clearly darker than the panel, searched in a
    // band around the place where the link rectangle expects it.
    int left = 390, right = -1, top = 220, bottom = -1;
    for (int y = 160; y < 182; ++y) {
        for (int x = 190; x < 370; ++x) {
            Gdiplus::Color c = pixel(x, y);
            if (c.GetA() == 255 && c.GetR() + c.GetG() + c.GetB() < 3 * 170) {
                left = std::min(left, x);
                right = std::max(right, x);
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
        }
    }
    EXPECT_NEAR(left, 213, 2);
    EXPECT_NEAR(right, 345, 2);
    EXPECT_NEAR(top, 166, 1);
    EXPECT_LE(bottom, 178) << "only the descender goes below the letters";
}

TEST(Packages, AreTheBuiltDebianPackages) {
    struct Package {
        unsigned id;
        const wchar_t* file;
    };
    const Package packages[] = {{IDR_DEB_HANDSET, L"Quillon.deb"}, {IDR_DEB_TABLET, L"QuillonHD.deb"}};
    for (const Package& p : packages) {
        SCOPED_TRACE(p.id);
        std::string_view deb = ResourceBytes(p.id, ORVEX_RT_DEB);
        ASSERT_GT(deb.size(), 100u);
        EXPECT_EQ(deb.substr(0, 21), "!<arch>\ndebian-binary");
        std::string built;
        ASSERT_TRUE(testutil::ReadFileBytes(testutil::ProgramFolder() + L"\\..\\res\\" + p.file, &built));
        EXPECT_TRUE(deb == built) << "the resource holds the package of this build";
    }
    EXPECT_NE(ResourceBytes(IDR_DEB_HANDSET, ORVEX_RT_DEB), ResourceBytes(IDR_DEB_TABLET, ORVEX_RT_DEB));
}

// A reader of the extended dialog template, with bounds checks.
class TemplateReader {
  public:
    explicit TemplateReader(std::string_view bytes) : m_bytes(bytes) {}
    bool ok() const { return m_ok; }
    template <typename T> T Read() {
        T value{};
        if (m_at + sizeof(T) > m_bytes.size()) {
            m_ok = false;
            return value;
        }
        std::memcpy(&value, m_bytes.data() + m_at, sizeof(T));
        m_at += sizeof(T);
        return value;
    }
    std::wstring ReadString() {
        std::wstring text;
        for (wchar_t c = Read<wchar_t>(); m_ok && c; c = Read<wchar_t>())
            text += c;
        return text;
    }
    // A name or an ordinal: 0xFFFF then the number, or a zero-terminated text.
    std::wstring ReadNameOrOrdinal(uint16_t* ordinal) {
        *ordinal = 0;
        if (m_at + 2 <= m_bytes.size() && static_cast<unsigned char>(m_bytes[m_at]) == 0xFF &&
            static_cast<unsigned char>(m_bytes[m_at + 1]) == 0xFF) {
            m_at += 2;
            *ordinal = Read<uint16_t>();
            return {};
        }
        return ReadString();
    }
    void AlignTo4() { m_at = (m_at + 3) & ~size_t{3}; }

  private:
    std::string_view m_bytes;
    size_t m_at = 0;
    bool m_ok = true;
};

struct DialogItem {
    uint32_t id;
    uint32_t style;
    uint32_t exStyle;
    int16_t x, y, cx, cy;
    uint16_t classOrdinal;
    std::wstring text;
};

TEST(MainDialog, TemplateMatchesTheTable) {
    std::string_view bytes = ResourceBytes(IDD_INSTALLORVEX_DIALOG, MAKEINTRESOURCEW(5)); // RT_DIALOG
    ASSERT_FALSE(bytes.empty());
    TemplateReader r(bytes);
    EXPECT_EQ(r.Read<uint16_t>(), 1) << "DLGTEMPLATEEX version";
    EXPECT_EQ(r.Read<uint16_t>(), 0xFFFF) << "DLGTEMPLATEEX signature";
    r.Read<uint32_t>(); // help id
    EXPECT_EQ(r.Read<uint32_t>(), static_cast<uint32_t>(WS_EX_APPWINDOW));
    EXPECT_EQ(r.Read<uint32_t>(),
              static_cast<uint32_t>(WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_SETFONT | DS_FIXEDSYS));
    const uint16_t count = r.Read<uint16_t>();
    EXPECT_EQ(r.Read<int16_t>(), 0);
    EXPECT_EQ(r.Read<int16_t>(), 0);
    EXPECT_EQ(r.Read<int16_t>(), 207);
    EXPECT_EQ(r.Read<int16_t>(), 94);
    uint16_t ordinal = 0;
    EXPECT_EQ(r.ReadNameOrOrdinal(&ordinal), L"") << "no menu";
    EXPECT_EQ(ordinal, 0);
    EXPECT_EQ(r.ReadNameOrOrdinal(&ordinal), L"") << "the standard dialog class";
    EXPECT_EQ(ordinal, 0);
    EXPECT_EQ(r.ReadString(), L"Orvex助手安装器");
    EXPECT_EQ(r.Read<uint16_t>(), 9) << "point size";
    r.Read<uint16_t>(); // weight
    r.Read<uint8_t>();  // italic
    r.Read<uint8_t>();  // character set
    EXPECT_EQ(r.ReadString(), L"MS Shell Dlg");
    ASSERT_TRUE(r.ok());

    const DWORD push = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;
    const DialogItem expected[] = {
        {IDC_BUTTON_INSTALL, push, 0, 19, 31, 168, 37, 0x0080, L""},
        {IDOK, WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, 14, 3, 42, 25, 0x0080, L"确定"},
        {IDC_BUTTON_MIN, push, 0, 171, 0, 9, 12, 0x0080, L"-"},
        {IDC_BUTTON_CLOSE, push, 0, 192, 0, 9, 12, 0x0080, L"X"},
    };
    ASSERT_EQ(count, std::size(expected));
    for (const DialogItem& want : expected) {
        SCOPED_TRACE(want.id);
        r.AlignTo4();
        DialogItem got{};
        r.Read<uint32_t>(); // help id
        got.exStyle = r.Read<uint32_t>();
        got.style = r.Read<uint32_t>();
        got.x = r.Read<int16_t>();
        got.y = r.Read<int16_t>();
        got.cx = r.Read<int16_t>();
        got.cy = r.Read<int16_t>();
        got.id = r.Read<uint32_t>();
        r.ReadNameOrOrdinal(&got.classOrdinal);
        uint16_t textOrdinal = 0;
        got.text = r.ReadNameOrOrdinal(&textOrdinal);
        const uint16_t extra = r.Read<uint16_t>();
        ASSERT_TRUE(r.ok());
        EXPECT_EQ(got.id, want.id);
        EXPECT_EQ(got.style, want.style);
        EXPECT_EQ(got.exStyle, want.exStyle);
        EXPECT_EQ(got.x, want.x);
        EXPECT_EQ(got.y, want.y);
        EXPECT_EQ(got.cx, want.cx);
        EXPECT_EQ(got.cy, want.cy);
        EXPECT_EQ(got.classOrdinal, want.classOrdinal) << "button class";
        EXPECT_EQ(textOrdinal, 0);
        EXPECT_EQ(got.text, want.text);
        EXPECT_EQ(extra, 0);
    }
}

#pragma pack(push, 2)
struct GroupIconEntry {
    BYTE width, height, colours, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

TEST(ProgramIcon, HoldsEverySizeAndLoads) {
    std::string_view group = ResourceBytes(IDI_INSTALLORVEX, MAKEINTRESOURCEW(14)); // RT_GROUP_ICON
    ASSERT_GE(group.size(), 6u);
    uint16_t count = 0;
    std::memcpy(&count, group.data() + 4, 2);
    ASSERT_EQ(group.size(), 6 + count * sizeof(GroupIconEntry));
    std::vector<int> sizes;
    for (uint16_t i = 0; i < count; ++i) {
        GroupIconEntry entry;
        std::memcpy(&entry, group.data() + 6 + i * sizeof entry, sizeof entry);
        sizes.push_back(entry.width ? entry.width : 256);
        EXPECT_EQ(entry.bitCount, 32);
        EXPECT_FALSE(ResourceBytes(entry.id, MAKEINTRESOURCEW(3)).empty()) << "RT_ICON " << entry.id;
    }
    EXPECT_EQ(sizes, (std::vector<int>{16, 24, 32, 48, 256}));

    for (int size : {16, 32, 48}) {
        SCOPED_TRACE(size);
        HICON icon = static_cast<HICON>(
            ::LoadImageW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_INSTALLORVEX), IMAGE_ICON, size, size, 0));
        ASSERT_TRUE(icon);
        ICONINFO info{};
        ASSERT_TRUE(::GetIconInfo(icon, &info));
        BITMAP bm{};
        ::GetObjectW(info.hbmColor, sizeof bm, &bm);
        EXPECT_EQ(bm.bmWidth, size);
        EXPECT_EQ(bm.bmHeight, size);
        ::DeleteObject(info.hbmColor);
        ::DeleteObject(info.hbmMask);
        ::DestroyIcon(icon);
    }
}

TEST(Manifest, AsksForCommonControls6AsInvokerAndDpiAwareness) {
    std::string_view manifest = ResourceBytes(1, MAKEINTRESOURCEW(24)); // RT_MANIFEST
    ASSERT_FALSE(manifest.empty());
    const std::string text(manifest);
    EXPECT_NE(text.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""), std::string::npos);
    EXPECT_NE(text.find("level=\"asInvoker\""), std::string::npos);
    EXPECT_NE(text.find(">true</dpiAware>"), std::string::npos);

    // The system binds it: an activation context made from this program's
    // manifest holds version 6 of the common controls next to the program.
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    ACTCTXW request{};
    request.cbSize = sizeof request;
    request.dwFlags = ACTCTX_FLAG_HMODULE_VALID | ACTCTX_FLAG_RESOURCE_NAME_VALID;
    request.hModule = ::GetModuleHandleW(nullptr);
    request.lpSource = path;
    request.lpResourceName = MAKEINTRESOURCEW(1);
    HANDLE context = ::CreateActCtxW(&request);
    ASSERT_NE(context, INVALID_HANDLE_VALUE) << "error " << ::GetLastError();
    std::vector<std::wstring> assemblies;
    for (DWORD index = 1; index < 8; ++index) {
        SIZE_T needed = 0;
        ::QueryActCtxW(0, context, &index, AssemblyDetailedInformationInActivationContext, nullptr, 0, &needed);
        if (needed == 0)
            break;
        std::vector<char> buffer(needed);
        if (!::QueryActCtxW(0, context, &index, AssemblyDetailedInformationInActivationContext, buffer.data(), needed,
                            nullptr))
            break;
        auto* info = reinterpret_cast<ACTIVATION_CONTEXT_ASSEMBLY_DETAILED_INFORMATION*>(buffer.data());
        if (info->lpAssemblyEncodedAssemblyIdentity)
            assemblies.emplace_back(info->lpAssemblyEncodedAssemblyIdentity);
    }
    ::ReleaseActCtx(context);
    bool commonControls6 = false;
    for (const std::wstring& identity : assemblies) {
        if (identity.find(L"Microsoft.Windows.Common-Controls") != std::wstring::npos &&
            identity.find(L"version=\"6.0.") != std::wstring::npos)
            commonControls6 = true;
    }
    EXPECT_TRUE(commonControls6) << assemblies.size() << " assemblies bound";
}

} // namespace
