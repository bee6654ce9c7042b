#include "installer/device_summary.h"

#include "installer/web_addresses.h"
#include "res/resource.h"

#include <cwctype>

namespace {

// The product key: the text up to the first "," after any leading commas,
// of at most the first 39 units of the product type.
std::wstring ProductKey(const wchar_t* productType) {
    if (!productType)
        return std::wstring();
    std::wstring text(productType, wcsnlen(productType, 39));
    size_t start = text.find_first_not_of(L',');
    if (start == std::wstring::npos)
        return std::wstring();
    size_t end = text.find(L',', start);
    return text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
}

// `key` begins with `prefix` (ASCII letters compared without case).
bool BeginsWith(const std::wstring& key, const wchar_t* prefix) {
    size_t n = wcslen(prefix);
    if (key.size() < n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        wchar_t c = key[i];
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
        if (c != prefix[i])
            return false;
    }
    return true;
}

const PackageInfo kHandset = {IDR_DEB_HANDSET, L"C:\\Quillon.deb", L"Quillon.deb", web::kHandsetPackagePath};
const PackageInfo kTablet = {IDR_DEB_TABLET, L"C:\\QuillonHD.deb", L"QuillonHD.deb", web::kTabletPackagePath};

} // namespace

std::wstring ModelNameFromProductType(const wchar_t* productType) {
    const std::wstring key = ProductKey(productType);
    if (BeginsWith(key, L"ipad"))
        return BeginsWith(key, L"ipad1") ? L"iPad 1" : L"iPad 2";
    const struct {
        const wchar_t* prefix;
        const wchar_t* name;
    } models[] = {
        {L"iphone3", L"iPhone 4"},   {L"ipod3", L"iPod 3"},      {L"ipod4", L"iPod 4"},
        {L"iphone2", L"iPhone 3GS"}, {L"iphone4", L"iPhone 4S"},
    };
    for (const auto& model : models) {
        if (BeginsWith(key, model.prefix))
            return model.name;
    }
    return std::wstring();
}

DeviceSummary SummarizeDevice(const wchar_t* identifier, const __IOS_DEVICE& info) {
    DeviceSummary summary;
    summary.strIdentifier = identifier ? identifier : L"";
    summary.nJailbroken = info.IsJailbroken;
    // The record's own text field may lack its terminator when a caller
    // passed garbage; read at most its capacity.
    std::wstring productType(info.ProductType, wcsnlen(info.ProductType, 40));
    summary.strModelName = ModelNameFromProductType(productType.c_str());
    return summary;
}

PackageClass PackageClassOf(const std::wstring& modelName) {
    bool handset = modelName.find(L"iPod") != std::wstring::npos || modelName.find(L"iPhone") != std::wstring::npos;
    return handset ? PackageClass::Handset : PackageClass::Tablet;
}

const PackageInfo& PackageFor(PackageClass packageClass) {
    return packageClass == PackageClass::Handset ? kHandset : kTablet;
}
