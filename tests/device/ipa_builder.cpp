#include "tests/device/ipa_builder.h"

#include "tests/support/test_util.h"

#include <zlib.h>

#include <cstdint>
#include <vector>

namespace testutil {

namespace {

void Put16(std::string* out, uint16_t v) {
    out->push_back(static_cast<char>(v & 0xFF));
    out->push_back(static_cast<char>(v >> 8));
}

void Put32(std::string* out, uint32_t v) {
    Put16(out, static_cast<uint16_t>(v & 0xFFFF));
    Put16(out, static_cast<uint16_t>(v >> 16));
}

struct Entry {
    std::string name;
    std::string data;
};

// A zip archive of stored (uncompressed) entries.
std::string ZipOf(const std::vector<Entry>& entries) {
    std::string zip;
    std::string directory;
    for (const Entry& e : entries) {
        uint32_t crc = static_cast<uint32_t>(
            crc32(0, reinterpret_cast<const Bytef*>(e.data.data()), static_cast<uInt>(e.data.size())));
        uint32_t offset = static_cast<uint32_t>(zip.size());
        uint32_t size = static_cast<uint32_t>(e.data.size());
        Put32(&zip, 0x04034b50);
        Put16(&zip, 10);   // version needed
        Put16(&zip, 0);    // flags
        Put16(&zip, 0);    // stored
        Put16(&zip, 0);    // time
        Put16(&zip, 0x21); // date: 1980-01-01
        Put32(&zip, crc);
        Put32(&zip, size);
        Put32(&zip, size);
        Put16(&zip, static_cast<uint16_t>(e.name.size()));
        Put16(&zip, 0);
        zip += e.name + e.data;

        Put32(&directory, 0x02014b50);
        Put16(&directory, 20); // made by
        Put16(&directory, 10);
        Put16(&directory, 0);
        Put16(&directory, 0);
        Put16(&directory, 0);
        Put16(&directory, 0x21);
        Put32(&directory, crc);
        Put32(&directory, size);
        Put32(&directory, size);
        Put16(&directory, static_cast<uint16_t>(e.name.size()));
        Put16(&directory, 0); // extra
        Put16(&directory, 0); // comment
        Put16(&directory, 0); // disk
        Put16(&directory, 0); // internal attributes
        Put32(&directory, e.name.back() == '/' ? 0x10 : 0);
        Put32(&directory, offset);
        directory += e.name;
    }
    uint32_t directoryOffset = static_cast<uint32_t>(zip.size());
    zip += directory;
    Put32(&zip, 0x06054b50);
    Put16(&zip, 0);
    Put16(&zip, 0);
    Put16(&zip, static_cast<uint16_t>(entries.size()));
    Put16(&zip, static_cast<uint16_t>(entries.size()));
    Put32(&zip, static_cast<uint32_t>(directory.size()));
    Put32(&zip, directoryOffset);
    Put16(&zip, 0);
    return zip;
}

std::string InfoPlist(const IpaRecipe& recipe) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n<dict>\n"
           "\t<key>CFBundleDisplayName</key>\n\t<string>" +
           recipe.name + "</string>\n\t<key>CFBundleExecutable</key>\n\t<string>" + recipe.name +
           "</string>\n\t<key>CFBundleIdentifier</key>\n\t<string>" + recipe.bundleId +
           "</string>\n\t<key>CFBundleName</key>\n\t<string>" + recipe.name +
           "</string>\n\t<key>CFBundleVersion</key>\n\t<string>" + recipe.version +
           "</string>\n\t<key>CFBundleShortVersionString</key>\n\t<string>" + recipe.version +
           "</string>\n\t<key>CFBundleIconFiles</key>\n\t<array>\n\t\t<string>Icon.png</string>\n\t</array>\n"
           "</dict>\n</plist>\n";
}

} // namespace

bool WriteIpa(const std::wstring& path, const IpaRecipe& recipe) { return WriteIpa(path, recipe, InfoPlist(recipe)); }

bool WriteIpa(const std::wstring& path, const IpaRecipe& recipe, const std::string& infoPlist) {
    std::string app = "Payload/" + recipe.name + ".app/";
    std::vector<Entry> entries = {
        {"Payload/", ""},
        {app, ""},
        {app + "Info.plist", infoPlist},
        {app + recipe.name, std::string("\xCE\xFA\xED\xFE", 4) + recipe.version},
    };
    return WriteFileBytes(path, ZipOf(entries));
}

} // namespace testutil
