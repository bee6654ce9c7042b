// GetInstalledApps against the farm's templates: one record per application
// the device's installation service knows, with the fallbacks of the name
// and the icon, and the library's array released with ReleaseMemory.
#include "platform/text.h"
#include "tests/device/farm_fixture.h"
#include "tests/device/log_watch.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>

namespace {

using devtest::FarmLibrary;
using devtest::Wide;
using simfarm::Value;

// A result array taken over from the library.
class AppList {
  public:
    explicit AppList(testutil::DeviceDll& dll) : m_dll(dll) {}
    ~AppList() {
        if (apps != Unset())
            m_dll.ReleaseMemory(apps);
    }
    static __IOS_APP* Unset() { return reinterpret_cast<__IOS_APP*>(0x1234); }
    AppList(const AppList&) = delete;
    AppList& operator=(const AppList&) = delete;

    std::map<std::wstring, const __IOS_APP*> ById() const {
        std::map<std::wstring, const __IOS_APP*> byId;
        for (unsigned int i = 0; i < count; ++i)
            byId[apps[i].Identifier] = &apps[i];
        return byId;
    }

    __IOS_APP* apps = Unset(); // the library must overwrite it
    unsigned int count = 77;

  private:
    testutil::DeviceDll& m_dll;
};

class InstalledApps : public testing::Test {
  protected:
    FarmLibrary& lib = FarmLibrary::Get();

    int List(const std::string& udid, AppList* list) {
        return lib.dll().GetInstalledApps(Wide(udid).c_str(), &list->apps, &list->count);
    }
};

bool IsZero(const void* bytes, size_t size) {
    const unsigned char* p = static_cast<const unsigned char*>(bytes);
    for (size_t i = 0; i < size; ++i) {
        if (p[i])
            return false;
    }
    return true;
}

TEST_F(InstalledApps, OneRecordPerApplicationOfTheDevice) {
    for (const char* templateName : {"iphone4s-jailbroken", "ipad2-stock", "ipod4-jailbroken"}) {
        SCOPED_TRACE(templateName);
        std::string udid = lib.Plug(templateName);
        ASSERT_FALSE(udid.empty());
        const Value applications = *lib.Description(udid).Find(simfarm::key::kApplications);
        ASSERT_FALSE(applications.entries().empty());

        AppList list(lib.dll());
        ASSERT_EQ(List(udid, &list), 1);
        ASSERT_EQ(list.count, applications.entries().size());
        ASSERT_NE(list.apps, nullptr);
        auto byId = list.ById();
        EXPECT_EQ(byId.size(), list.count) << "an application listed twice";
        for (const auto& [bundleId, entry] : applications.entries()) {
            SCOPED_TRACE(bundleId);
            auto found = byId.find(Wide(bundleId));
            ASSERT_NE(found, byId.end());
            const __IOS_APP& app = *found->second;
            EXPECT_EQ(std::wstring(app.Path), Wide(entry.GetString("Path")));
            EXPECT_EQ(std::wstring(app.Container), Wide(entry.GetString("Container")));
            EXPECT_EQ(std::wstring(app.Version), Wide(entry.GetString("CFBundleVersion")));
            EXPECT_EQ(app.IsSystemApp, entry.GetString("ApplicationType") == "User" ? 0 : 1);
            // The store metadata belongs to archives only.
            EXPECT_TRUE(IsZero(&app.ArtistId, sizeof(__IOS_APP) - offsetof(__IOS_APP, ArtistId)));
        }
    }
}

// The fallbacks of the name, the icon and the store identifier, as the
// templates' applications exercise them.
TEST_F(InstalledApps, NameIconAndStoreFallbacks) {
    std::string phone = lib.Plug("iphone4s-jailbroken");
    std::string pad = lib.Plug("ipad2-stock");
    ASSERT_FALSE(phone.empty());
    ASSERT_FALSE(pad.empty());
    // Two more shapes: an unknown application type, and a list of icons
    // that wins over the single icon file.
    ASSERT_TRUE(lib.Change(phone, [](Value& d, std::string*) {
        Value& apps = d.SubDict(simfarm::key::kApplications);
        Value& mail = apps.SubDict("com.apple.mobilemail");
        mail.Set("ApplicationType", Value::String("Hidden"));
        Value& cydia = apps.SubDict("com.saurik.Cydia");
        Value icons = Value::Array();
        icons.Append(Value::String("First.png"));
        icons.Append(Value::String("Second.png"));
        cydia.Set("CFBundleIconFiles", icons);
        Value& safari = apps.SubDict("com.apple.mobilesafari");
        safari.Remove("ApplicationType");
        return true;
    }));
    struct Expect {
        const std::string* udid;
        const wchar_t* id;
        const wchar_t* name;
        const wchar_t* icon;
        const wchar_t* storeId;
        int32_t isSystemApp;
    };
    const Expect cases[] = {
        // display name; first of the icon list; a purchase
        {&phone, L"com.tencent.xin", L"微信", L"Icon.png", L"481627304", 0},
        // bundle name only; the single icon file; the account 0
        {&phone, L"com.sina.weibo", L"Weibo", L"icon.png", L"0", 0},
        // a list of icons beside a single icon file
        {&phone, L"com.saurik.Cydia", L"Cydia", L"First.png", L"", 1},
        // not "User": a system application, whatever else it says
        {&phone, L"com.apple.mobilemail", L"Mail", L"Icon.png", L"", 1},
        {&phone, L"com.apple.mobilesafari", L"Safari", L"Icon.png", L"", 1},
        // an empty list of icons and no single file
        {&pad, L"com.tencent.mipadqq", L"QQ HD", L"Icon.png", L"0", 0},
    };
    for (const std::string* udid : {&phone, &pad}) {
        AppList list(lib.dll());
        ASSERT_EQ(List(*udid, &list), 1);
        auto byId = list.ById();
        for (const Expect& e : cases) {
            if (e.udid != udid)
                continue;
            SCOPED_TRACE(testing::PrintToString(std::wstring(e.id)));
            auto found = byId.find(e.id);
            ASSERT_NE(found, byId.end());
            EXPECT_EQ(std::wstring(found->second->Name), e.name);
            EXPECT_EQ(std::wstring(found->second->IconFile), e.icon);
            EXPECT_EQ(std::wstring(found->second->StoreId), e.storeId);
            EXPECT_EQ(found->second->IsSystemApp, e.isSystemApp);
        }
    }
}

TEST_F(InstalledApps, DeviceWithoutApplications) {
    std::string udid = lib.Plug("ipad2-stock");
    ASSERT_FALSE(udid.empty());
    ASSERT_TRUE(lib.Change(udid, [](Value& d, std::string*) {
        d.Set(simfarm::key::kApplications, Value::Dict());
        return true;
    }));
    AppList list(lib.dll());
    EXPECT_EQ(List(udid, &list), 1);
    EXPECT_EQ(list.count, 0u);
    EXPECT_EQ(list.apps, nullptr);
}

TEST_F(InstalledApps, FailuresLeaveNoArray) {
    std::string udid = lib.Plug("iphone5-jailbroken");
    ASSERT_FALSE(udid.empty());
    {
        ASSERT_TRUE(lib.SetFault(udid, simfarm::Fault::Lookup));
        testutil::LogWatch log;
        AppList list(lib.dll());
        EXPECT_EQ(List(udid, &list), 0);
        EXPECT_EQ(list.count, 0u);
        EXPECT_EQ(list.apps, nullptr);
        EXPECT_TRUE(log.Saw(L"列举软件失败。"));
        ASSERT_TRUE(lib.ClearFaults(udid));
    }
    {
        ASSERT_TRUE(lib.SetFault(udid, simfarm::Fault::Session));
        testutil::LogWatch log;
        AppList list(lib.dll());
        __IOS_APP* untouched = list.apps;
        EXPECT_EQ(List(udid, &list), 0);
        EXPECT_EQ(list.apps, untouched);
        EXPECT_EQ(list.count, 77u);
        EXPECT_TRUE(log.Saw(L"开始会话失败。"));
        ASSERT_TRUE(lib.ClearFaults(udid));
    }
    unsigned int count = 0;
    __IOS_APP* apps = nullptr;
    EXPECT_EQ(lib.dll().GetInstalledApps(Wide(udid).c_str(), nullptr, &count), 0);
    EXPECT_EQ(lib.dll().GetInstalledApps(Wide(udid).c_str(), &apps, nullptr), 0);
    EXPECT_EQ(lib.dll().GetInstalledApps(L"no-such-device", &apps, &count), 0);
    EXPECT_EQ(apps, nullptr);
}

} // namespace
