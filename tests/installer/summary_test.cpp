// The display model name and the package class of a product type.
#include "installer/device_summary.h"

#include <gtest/gtest.h>

namespace {

TEST(ModelTable, ProductTypesGiveTheirModelNameAndPackageClass) {
    const struct {
        const wchar_t* productType;
        const wchar_t* model;
        PackageClass packageClass;
    } cases[] = {
        {L"iPhone4,1", L"iPhone 4S", PackageClass::Handset},
        {L"IPOD3,1", L"iPod 3", PackageClass::Handset},
        {L"iPod4,1", L"iPod 4", PackageClass::Handset},
        {L"iPhone3,3", L"iPhone 4", PackageClass::Handset},
        {L"iphone2,1", L"iPhone 3GS", PackageClass::Handset},
        {L"iPad2,5", L"iPad 2", PackageClass::Tablet},
        {L"iPad1,1", L"iPad 1", PackageClass::Tablet},
        {L"iPad3,4", L"iPad 2", PackageClass::Tablet},
        {L"iPad11,2", L"iPad 1", PackageClass::Tablet}, // begins with "ipad1"
        {L"iPhone5,1", L"", PackageClass::Tablet},
        {L"iPod5,1", L"", PackageClass::Tablet},
        {L"", L"", PackageClass::Tablet},
        {L",,,iPhone4,1", L"iPhone 4S", PackageClass::Handset}, // leading commas skipped
        {L",,,", L"", PackageClass::Tablet},
        {L"iPho", L"", PackageClass::Tablet}, // shorter than any prefix
        {L"AppleTV2,1", L"", PackageClass::Tablet},
    };
    for (const auto& c : cases) {
        std::wstring model = ModelNameFromProductType(c.productType);
        EXPECT_EQ(model, c.model) << "product type '" << std::wstring(c.productType) << "'";
        EXPECT_EQ(PackageClassOf(model), c.packageClass) << "product type '" << std::wstring(c.productType) << "'";
    }
    EXPECT_EQ(ModelNameFromProductType(nullptr), L"");
}

TEST(ModelTable, OnlyTheFirstThirtyNineUnitsAreRead) {
    std::wstring commas(39, L',');
    EXPECT_EQ(ModelNameFromProductType((commas + L"iPhone4,1").c_str()), L"");
    EXPECT_EQ(ModelNameFromProductType((commas.substr(1) + L"iPhone4,1").c_str()), L"") << "only 'i' is left";
    EXPECT_EQ(ModelNameFromProductType((std::wstring(32, L',') + L"iPod4,1").c_str()), L"iPod 4");
}

TEST(PackageClass, HandsetNamesAreMatchedWithTheirLetterCase) {
    EXPECT_EQ(PackageClassOf(L"my iPhone"), PackageClass::Handset);
    EXPECT_EQ(PackageClassOf(L"IPHONE"), PackageClass::Tablet);
    EXPECT_EQ(PackageClassOf(L"ipod"), PackageClass::Tablet);
    const PackageInfo& handset = PackageFor(PackageClass::Handset);
    const PackageInfo& tablet = PackageFor(PackageClass::Tablet);
    EXPECT_STREQ(handset.localPath, L"C:\\Quillon.deb");
    EXPECT_STREQ(tablet.localPath, L"C:\\QuillonHD.deb");
    EXPECT_EQ(handset.nResourceId, 203u);
    EXPECT_EQ(tablet.nResourceId, 202u);
}

TEST(Summary, IsBuiltFromTheRecord) {
    auto info = std::make_unique<__IOS_DEVICE>();
    wcscpy(info->ProductType, L"iPad1,1");
    info->IsJailbroken = 1;
    DeviceSummary summary = SummarizeDevice(L"udid-1", *info);
    EXPECT_EQ(summary.strIdentifier, L"udid-1");
    EXPECT_EQ(summary.nJailbroken, 1);
    EXPECT_EQ(summary.strModelName, L"iPad 1");
    // A product type that fills its field without a terminator is read within the field.
    for (auto& c : info->ProductType)
        c = L'x';
    EXPECT_EQ(SummarizeDevice(L"u", *info).strModelName, L"");
}

} // namespace
