// Listing device folders and reading single entries through the library.
#include "tests/device/file_fixture.h"

#include "platform/file.h"
#include "platform/text.h"

#include <oleauto.h>

#include <algorithm>
#include <cstring>
#include <map>

namespace devfiles {
namespace {

// A listing as the caller gets it, given back at the end.
struct Listing {
    int result = -1;
    __IOS_FILE* files = reinterpret_cast<__IOS_FILE*>(0x10);
    unsigned int count = 12345;
    testutil::DeviceDll* dll = nullptr;

    ~Listing() {
        if (result == 1 && dll)
            dll->ReleaseMemory(files);
    }
    std::vector<__IOS_FILE> records() const {
        return result == 1 && files ? std::vector<__IOS_FILE>(files, files + count) : std::vector<__IOS_FILE>();
    }
    const __IOS_FILE* Find(const std::wstring& name) const {
        for (unsigned int i = 0; result == 1 && i < count; ++i) {
            if (name == files[i].Name)
                return &files[i];
        }
        return nullptr;
    }
};

class FileListing : public FileExportsTest {
  protected:
    void List(const std::wstring& identifier, const std::wstring& directory, Listing* listing) {
        listing->dll = &dll();
        listing->result =
            dll().GetFilesInDirectory(identifier.c_str(), directory.c_str(), &listing->files, &listing->count);
    }
    // Sets the host file's last-write time, as seconds since 1970 (UTC).
    bool SetModified(const std::wstring& devicePath, long long seconds) {
        UniqueHandle file(::CreateFileW(Host(devicePath).c_str(), FILE_WRITE_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
        LARGE_INTEGER t;
        t.QuadPart = (seconds + 11644473600LL) * 10000000LL;
        FILETIME time{static_cast<DWORD>(t.LowPart), static_cast<DWORD>(t.HighPart)};
        return file && ::SetFileTime(file.get(), nullptr, nullptr, &time);
    }
};

double LocalOleDate(long long seconds) {
    LARGE_INTEGER t;
    t.QuadPart = (seconds + 11644473600LL) * 10000000LL;
    FILETIME utc{static_cast<DWORD>(t.LowPart), static_cast<DWORD>(t.HighPart)};
    SYSTEMTIME u, local;
    double date = -1;
    if (::FileTimeToSystemTime(&utc, &u) && ::SystemTimeToTzSpecificLocalTime(nullptr, &u, &local))
        ::SystemTimeToVariantTime(&local, &date);
    return date;
}

TEST_F(FileListing, EmptyFolderRootAndTrailingSeparator) {
    ASSERT_TRUE(MakeDeviceFolder(scratch + L"/empty"));
    Listing empty;
    List(Jailbroken(), scratch + L"/empty", &empty);
    EXPECT_EQ(empty.result, 1);
    EXPECT_EQ(empty.count, 0u);
    EXPECT_EQ(empty.files, nullptr);

    Listing root;
    List(Jailbroken(), L"/", &root);
    ASSERT_EQ(root.result, 1);
    EXPECT_NE(root.Find(L"var"), nullptr);
    EXPECT_NE(root.Find(L"Applications"), nullptr);
    for (const __IOS_FILE& file : root.records())
        EXPECT_EQ(std::wstring(file.Path), L"/" + std::wstring(file.Name));

    ASSERT_TRUE(PutDeviceFile(scratch + L"/a.txt", "a"));
    Listing trailing;
    List(Jailbroken(), scratch + L"/", &trailing);
    ASSERT_EQ(trailing.result, 1);
    ASSERT_EQ(trailing.count, 2u); // a.txt and the empty folder
    for (const __IOS_FILE& file : trailing.records())
        EXPECT_EQ(std::wstring(file.Path), scratch + L"/" + file.Name);
    EXPECT_TRUE(log.QuietAbout(scratch));
}

TEST_F(FileListing, RecordsInDeviceOrderWithTypesSizesAndLinks) {
    ASSERT_TRUE(PutDeviceFile(scratch + L"/archive.tar.gz", Pattern(10, 1)));
    ASSERT_TRUE(PutDeviceFile(scratch + L"/.profile", ""));
    ASSERT_TRUE(PutDeviceFile(scratch + L"/README", Pattern(5000, 2)));
    ASSERT_TRUE(MakeDeviceFolder(scratch + L"/sub"));
    ASSERT_TRUE(PutDeviceFile(scratch + L"/sub/inner", "x"));
    ASSERT_TRUE(farm().MakeLink(Jailbroken(), L"sub", (scratch + L"/to-sub").c_str()));
    ASSERT_TRUE(farm().MakeLink(Jailbroken(), L"/var/mobile/Media", (scratch + L"/media").c_str()));

    Listing listing;
    List(Jailbroken(), scratch, &listing);
    ASSERT_EQ(listing.result, 1);
    testfarm::RawAfc raw(farm(), Jailbroken());
    ASSERT_TRUE(raw.ok());
    std::vector<std::string> order = raw.List(WideToUtf8(scratch.c_str()).c_str());
    ASSERT_EQ(listing.count, order.size());
    for (size_t i = 0; i < order.size(); ++i)
        EXPECT_EQ(std::wstring(listing.files[i].Name), Utf8ToWide(order[i].c_str())) << "entry " << i;

    struct Expected {
        const wchar_t* name;
        const wchar_t* extension;
        int type;
        long long size; // -1: not checked
        const wchar_t* target;
    } expected[] = {
        {L"archive.tar.gz", L"gz", 1, 10, L""}, {L".profile", L"profile", 1, 0, L""},
        {L"README", L"", 1, 5000, L""},         {L"sub", L"", 0, -1, L""},
        {L"to-sub", L"", 2, 3, L"sub"},         {L"media", L"", 2, 17, L"/var/mobile/Media"},
    };
    for (const Expected& e : expected) {
        SCOPED_TRACE(WideToUtf8(e.name));
        const __IOS_FILE* file = listing.Find(e.name);
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(std::wstring(file->Path), scratch + L"/" + e.name);
        EXPECT_EQ(std::wstring(file->Extension), e.extension);
        EXPECT_EQ(file->Type, e.type);
        if (e.size >= 0) {
            EXPECT_EQ(file->Size, e.size);
        }
        EXPECT_EQ(std::wstring(file->LinkTarget), e.target);
        EXPECT_EQ(file->ModificationTime.Status, DateValueValid);
        EXPECT_GE(file->LinkCount, 1u);
    }
    EXPECT_EQ(listing.Find(L"README")->Blocks, 16u); // 512-byte blocks of two 4 KiB pages
    EXPECT_EQ(listing.Find(L"sub")->LinkCount, 3u);  // ".", ".." and inner
}

TEST_F(FileListing, DatesFromNanosecondsAndRejectedValues) {
    const long long july2012 = 1341318896; // 2012-07-03 12:34:56 UTC
    ASSERT_TRUE(PutDeviceFile(scratch + L"/dated", Pattern(100, 3)));
    ASSERT_TRUE(SetModified(scratch + L"/dated", july2012));
    ASSERT_TRUE(PutDeviceFile(scratch + L"/old", Pattern(7, 4)));
    ASSERT_TRUE(SetModified(scratch + L"/old", -315619200)); // 1960: before 1970, rejected

    Listing listing;
    List(Jailbroken(), scratch, &listing);
    ASSERT_EQ(listing.result, 1);
    const __IOS_FILE* dated = listing.Find(L"dated");
    ASSERT_NE(dated, nullptr);
    EXPECT_EQ(dated->ModificationTime.Status, DateValueValid);
    EXPECT_NEAR(dated->ModificationTime.Date, LocalOleDate(july2012), 0.5 / 86400);

    const __IOS_FILE* old = listing.Find(L"old");
    ASSERT_NE(old, nullptr);
    EXPECT_EQ(old->ModificationTime.Status, DateValueInvalid);
    EXPECT_EQ(old->ModificationTime.Date, 0.0);
    EXPECT_EQ(old->Size, 7); // the rest of the record is filled
    EXPECT_EQ(old->Type, 1);

    // The creation date follows whatever the device reports, in nanoseconds.
    testfarm::RawAfc raw(farm(), Jailbroken());
    for (const __IOS_FILE* file : {dated, old}) {
        SCOPED_TRACE(WideToUtf8(file->Name));
        auto info = raw.Info(WideToUtf8(file->Path).c_str());
        ASSERT_GE(info["st_birthtime"].size(), 16u) << "nanoseconds";
        const long long seconds = std::stoll(info["st_birthtime"]) / 1000000000LL;
        if (seconds < 0) {
            EXPECT_EQ(file->CreationTime.Status, DateValueInvalid);
            EXPECT_EQ(file->CreationTime.Date, 0.0);
        } else {
            EXPECT_EQ(file->CreationTime.Status, DateValueValid);
            EXPECT_NEAR(file->CreationTime.Date, LocalOleDate(seconds), 0.5 / 86400);
        }
    }
}

TEST_F(FileListing, AnEntryWhoseAttributesFailIsLeftOut) {
    ASSERT_TRUE(PutDeviceFile(scratch + L"/good", "g"));
    // A name the device lists but can't give attributes for: a trailing
    // blank, made past the system's name rules.
    std::wstring host = Host(scratch);
    if (host.rfind(L"\\\\?\\", 0) != 0)
        host = L"\\\\?\\" + host;
    const std::wstring bad = host + L"\\bad ";
    ASSERT_TRUE(testutil::WriteFileBytes(bad, "b"));
    testfarm::RawAfc raw(farm(), Jailbroken());
    ASSERT_EQ(raw.List(WideToUtf8(scratch.c_str()).c_str()).size(), 2u) << "the device lists both";

    Listing listing;
    List(Jailbroken(), scratch, &listing);
    ASSERT_EQ(listing.result, 1);
    ASSERT_EQ(listing.count, 1u);
    EXPECT_STREQ(listing.files[0].Name, L"good");
    EXPECT_TRUE(log.Has(L"提取文件 " + scratch + L"/bad  信息失败"));
    // The farm's clean-up uses ordinary paths, which can't name it.
    EXPECT_TRUE(::DeleteFileW(bad.c_str()));
}

TEST_F(FileListing, OrdinaryServiceOfAStockDeviceWithoutALogLine) {
    const std::wstring media = L"/var/mobile/Media";
    ASSERT_TRUE(MakeDeviceFolder(media + L"/FileListing-stock", Stock()));
    ASSERT_TRUE(PutDeviceFile(media + L"/FileListing-stock/photo.jpg", Pattern(300, 5), Stock()));
    Listing listing;
    List(Stock(), L"/FileListing-stock", &listing); // the ordinary service serves the media folder
    ASSERT_EQ(listing.result, 1);
    ASSERT_EQ(listing.count, 1u);
    EXPECT_STREQ(listing.files[0].Path, L"/FileListing-stock/photo.jpg");
    EXPECT_EQ(listing.files[0].Size, 300);
    EXPECT_TRUE(log.QuietAbout(L"FileListing-stock"));
    EXPECT_FALSE(log.Has(L"建立文件服务失败."));
    RemoveLocalTree(Host(media + L"/FileListing-stock", Stock()));
}

TEST_F(FileListing, FailuresLeaveTheOutputsAlone) {
    Listing missing;
    List(Jailbroken(), scratch + L"/missing", &missing);
    EXPECT_EQ(missing.result, 0);
    EXPECT_EQ(missing.files, reinterpret_cast<__IOS_FILE*>(0x10));
    EXPECT_EQ(missing.count, 12345u);
    EXPECT_TRUE(log.Has(L"打开文件目录 " + scratch + L"/missing 失败"));

    log.Reset();
    __IOS_FILE* files = nullptr;
    unsigned int count = 0;
    EXPECT_EQ(dll().GetFilesInDirectory(Jailbroken().c_str(), scratch.c_str(), nullptr, &count), 0);
    EXPECT_EQ(dll().GetFilesInDirectory(Jailbroken().c_str(), scratch.c_str(), &files, nullptr), 0);
    EXPECT_EQ(dll().GetFilesInDirectory(Jailbroken().c_str(), nullptr, &files, &count), 0);
    EXPECT_EQ(dll().GetFilesInDirectory(L"no-such-device", scratch.c_str(), &files, &count), 0);
    EXPECT_EQ(files, nullptr);
    EXPECT_TRUE(log.QuietAbout(scratch));
}

// A listing whose folder read fails, inside it or on its end, is no
// listing: 0, the outputs untouched, a line naming the folder.
TEST_F(FileListing, AListingCutShortIsAFailure) {
    struct Case {
        const wchar_t* fault;
        long long amount;
        int result;
    } cases[] = {
        {L"list-after", 3, 0},        // after the first name
        {L"list-after", 4, 0},        // on the end
        {L"list-after", 5, 1},        // one to spare: the whole listing
        {L"unplug-list-after", 2, 0}, // before the first name
        {L"unplug-list-after", 4, 0}, // on the end
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(WideToUtf8(c.fault) + " " + std::to_string(c.amount));
        const std::wstring udid = DeviceFor(c.fault);
        ASSERT_FALSE(udid.empty());
        const std::wstring folder = FreshFolder(udid, L"cut", {{L"a.txt", "a"}, {L"b.txt", "b"}});
        ASSERT_FALSE(folder.empty());
        log.Reset();
        ASSERT_TRUE(farm().SetFault(udid, c.fault, c.amount));
        Listing listing;
        List(udid, folder, &listing);
        if (CutsInsideListings()) {
            EXPECT_EQ(listing.result, c.result);
        }
        if (listing.result == 1) {
            EXPECT_EQ(listing.count, 2u);
            EXPECT_TRUE(log.QuietAbout(folder));
        } else {
            EXPECT_EQ(listing.files, reinterpret_cast<__IOS_FILE*>(0x10));
            EXPECT_EQ(listing.count, 12345u);
            EXPECT_TRUE(FolderFailureLogged(folder));
        }
        Retire(udid);
    }
}

TEST_F(FileListing, ServiceFailuresAreLogged) {
    farm().SetFault(Jailbroken(), L"afc2");
    farm().SetFault(Jailbroken(), L"afc");
    Listing listing;
    List(Jailbroken(), scratch, &listing);
    EXPECT_EQ(listing.result, 0);
    EXPECT_TRUE(log.Has(L"建立文件服务失败."));
}

class FileInfo : public FileListing {
  protected:
    int Info(const std::wstring& path, __IOS_FILE* file, const std::wstring& id = std::wstring()) {
        return dll().GetFileInfoOnDevice((id.empty() ? Jailbroken() : id).c_str(), path.c_str(), file);
    }
};

TEST_F(FileInfo, NamesTheLastComponentAndKeepsThePath) {
    ASSERT_TRUE(MakeDeviceFolder(scratch + L"/Documents"));
    ASSERT_TRUE(PutDeviceFile(scratch + L"/Documents/report.final.pdf", Pattern(4097, 6)));
    struct Case {
        std::wstring path, name, extension;
        int type;
    } cases[] = {
        {scratch + L"/Documents/", L"Documents", L"", 0},
        {scratch + L"/Documents//", L"Documents", L"", 0},
        {scratch + L"/Documents/report.final.pdf", L"report.final.pdf", L"pdf", 1},
        {L"/", L"", L"", 0},
        {L"/var", L"var", L"", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(WideToUtf8(c.path.c_str()));
        __IOS_FILE file;
        std::memset(&file, 0xAB, sizeof file);
        ASSERT_EQ(Info(c.path, &file), 1);
        EXPECT_EQ(std::wstring(file.Path), c.path);
        EXPECT_EQ(std::wstring(file.Name), c.name);
        EXPECT_EQ(std::wstring(file.Extension), c.extension);
        EXPECT_EQ(file.Type, c.type);
    }
    __IOS_FILE pdf;
    ASSERT_EQ(Info(scratch + L"/Documents/report.final.pdf", &pdf), 1);
    EXPECT_EQ(pdf.Size, 4097);
    EXPECT_EQ(pdf.Blocks, 16u);
    EXPECT_EQ(pdf.LinkCount, 1u);
    EXPECT_STREQ(pdf.LinkTarget, L"");
    __IOS_FILE var;
    ASSERT_EQ(Info(L"/var", &var), 1);
    EXPECT_STREQ(var.LinkTarget, L"private/var");
}

TEST_F(FileInfo, AMissingPathGivesZeroAndLeavesTheRecord) {
    __IOS_FILE file, before;
    std::memset(&file, 0x5C, sizeof file);
    before = file;
    EXPECT_EQ(Info(scratch + L"/nothing", &file), 0);
    EXPECT_EQ(std::memcmp(&file, &before, sizeof file), 0);
    EXPECT_EQ(Info(L"", &file), 0);
    EXPECT_EQ(dll().GetFileInfoOnDevice(Jailbroken().c_str(), scratch.c_str(), nullptr), 0);
    EXPECT_EQ(Info(scratch, &file, L"no-such-device"), 0);
    EXPECT_EQ(std::memcmp(&file, &before, sizeof file), 0);
    EXPECT_TRUE(log.QuietAbout(scratch));
}

TEST_F(FileInfo, LongPathsAndTargetsAreCutInsideTheirFields) {
    // Three folders of 60 characters beyond the Basic Multilingual Plane
    // (120 UTF-16 units each): a path longer than its field, cut where a
    // surrogate pair would be split.
    std::wstring component;
    for (int i = 0; i < 60; ++i)
        component += L"\U0001F4F7";
    std::wstring folder = scratch;
    for (int level = 0; level < 3; ++level) {
        folder += L"/" + component;
        ASSERT_TRUE(MakeDeviceFolder(folder));
    }
    const std::wstring target(400, L'x');
    const std::wstring path = folder + L"/link";
    ASSERT_TRUE(farm().MakeLink(Jailbroken(), target.c_str(), path.c_str()));
    __IOS_FILE file;
    std::memset(&file, 0xAB, sizeof file);
    ASSERT_EQ(Info(path, &file), 1);
    EXPECT_STREQ(file.Name, L"link");
    const std::wstring kept = file.Path;
    EXPECT_GE(kept.size(), 298u);
    EXPECT_LE(kept.size(), 299u);
    EXPECT_EQ(path.compare(0, kept.size(), kept), 0);
    EXPECT_FALSE(kept.back() >= 0xD800 && kept.back() <= 0xDBFF) << "half a surrogate pair kept";
    EXPECT_EQ(std::wstring(file.LinkTarget), target.substr(0, 299));
    EXPECT_EQ(file.Type, 2);
    EXPECT_EQ(file.Size, 400);

    Listing listing;
    List(Jailbroken(), folder, &listing);
    ASSERT_EQ(listing.result, 1);
    ASSERT_EQ(listing.count, 1u);
    EXPECT_STREQ(listing.files[0].Name, L"link");
    EXPECT_EQ(std::wstring(listing.files[0].Path), kept);
}

} // namespace
} // namespace devfiles
