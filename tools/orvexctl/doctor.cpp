#include "tools/orvexctl/doctor.h"

#include "platform/vendor_folders.h"
#include "tools/orvexctl/json.h"

#include <cwchar>

namespace orvexctl {

namespace {

using vendor_search::Candidate;
using vendor_search::Status;

void AddLibrary(DoctorReport* report, const vendor_search::Library& library) {
    if (library.path.empty())
        return;
    for (const FoundLibrary& known : report->libraries) {
        if (::_wcsicmp(known.path.c_str(), library.path.c_str()) == 0)
            return;
    }
    FoundLibrary found{library.path, library.bits, vendor_search::FileVersion(library.path),
                       library.bits != report->editionBits};
    report->wrongBitnessSeen = report->wrongBitnessSeen || found.wrongBitness;
    report->libraries.push_back(found);
}

std::wstring BitsText(int bits) { return bits ? std::to_wstring(bits) + L"-bit" : L"not a Windows library"; }

const wchar_t* SourceName(vendor_search::Source source) {
    switch (source) {
    case vendor_search::Source::CommonFilesRule:
        return L"common-files-rule";
    case vendor_search::Source::Registry:
        return L"registry";
    case vendor_search::Source::CommonFiles:
        return L"common-files";
    case vendor_search::Source::StorePackage:
        return L"store-package";
    }
    return L"?";
}

std::wstring WhatToInstall(int bits) {
    if (bits == 64)
        return L"install iTunes for Windows (64-bit) from Apple, or iTunes or \"Apple Devices\" from the Microsoft "
               L"Store";
    return L"install iTunes for Windows (32-bit) from Apple, which brings Apple Mobile Device Support, or iTunes "
           L"from the Microsoft Store";
}

void NullableString(JsonWriter& json, const std::wstring& text) {
    if (text.empty())
        json.Null();
    else
        json.String(text);
}

} // namespace

DoctorReport Examine(const vendor_search::Host& host, unsigned multiplexerMilliseconds) {
    DoctorReport report;
    report.editionBits = vendor_folders::kEditionBits;
    report.candidates = vendor_search::Search(host);
    for (size_t i = 0; i < report.candidates.size(); ++i) {
        const Candidate& candidate = report.candidates[i];
        if (report.chosen < 0 && candidate.status == Status::Usable)
            report.chosen = static_cast<int>(i);
        AddLibrary(&report, candidate.device);
        AddLibrary(&report, candidate.value);
    }
    report.multiplexer = backend::AskMultiplexer(std::wstring(), multiplexerMilliseconds);
    report.advice = Advice(report);
    return report;
}

std::wstring Advice(const DoctorReport& report) {
    const int other = report.editionBits == 32 ? 64 : 32;
    if (report.chosen < 0 && report.multiplexer.answered)
        return std::wstring(L"No vendor libraries for this edition, but the device multiplexer answers: the device "
                            L"library talks to it with its built-in backend.") +
               (report.multiplexer.devices == 0 ? L" No device is attached: plug it in, unlock it and tap \"Trust\"."
                                                : L"");
    if (report.chosen < 0 && report.wrongBitnessSeen)
        return L"Only " + std::to_wstring(other) + L"-bit vendor libraries were found: use the " +
               std::to_wstring(other) + L"-bit edition of this program, or " + WhatToInstall(report.editionBits) + L".";
    if (report.chosen < 0)
        return L"No vendor device support for this " + std::to_wstring(report.editionBits) + L"-bit edition: " +
               WhatToInstall(report.editionBits) + L".";
    if (!report.multiplexer.answered)
        return L"The libraries are in place, but the Apple Mobile Device Service does not answer: start it "
               L"(services.msc) or repair the vendor's installation.";
    if (report.multiplexer.devices == 0)
        return L"All in place; no device is attached: plug it in, unlock it and tap \"Trust\".";
    return L"All in place.";
}

std::wstring DoctorText(const DoctorReport& report) {
    std::wstring text = L"orvexctl doctor, " + std::to_wstring(report.editionBits) + L"-bit edition\n\n";
    text += L"Vendor installations, in the order the device library tries them:\n";
    for (size_t i = 0; i < report.candidates.size(); ++i) {
        const Candidate& c = report.candidates[i];
        const bool chosen = static_cast<int>(i) == report.chosen;
        text +=
            std::wstring(chosen ? L"* " : L"  ") + L"[" + vendor_search::StatusName(c.status) + L"] " + c.label + L"\n";
        if (c.status == Status::Usable) {
            text += L"      " + c.device.path + L"\n      " + c.value.path + L"\n";
        } else {
            if (!c.place.empty())
                text += L"      " + c.place + L"\n";
            if (!c.detail.empty())
                text += L"      " + c.detail + L"\n";
        }
    }
    text += L"\nThe device library would use: ";
    if (report.chosen < 0 && report.multiplexer.answered) {
        text += L"its built-in backend, over the device multiplexer at " + report.multiplexer.address + L"\n";
    } else if (report.chosen < 0) {
        text += L"nothing (none found)\n";
    } else {
        const Candidate& c = report.candidates[static_cast<size_t>(report.chosen)];
        text += c.label + L"\n  " + c.device.path + L"\n  " + c.value.path + L"\n";
    }
    text += L"\nLibraries found:\n";
    if (report.libraries.empty())
        text += L"  none\n";
    for (const FoundLibrary& library : report.libraries) {
        text += L"  " + library.path + L"\n    " + BitsText(library.bits) + L", version " +
                (library.version.empty() ? L"unknown" : library.version) +
                (library.wrongBitness ? L"  WRONG BITNESS for this edition" : L"") + L"\n";
    }
    text += std::wstring(L"Wrong bitness: ") +
            (report.wrongBitnessSeen ? L"a library for the other edition was found" : L"none seen") + L"\n";
    text += L"\nDevice multiplexer at " + report.multiplexer.address + L": ";
    if (report.multiplexer.answered)
        text += L"answers, " + std::to_wstring(report.multiplexer.devices) +
                (report.multiplexer.devices == 1 ? L" device" : L" devices") + L" attached\n";
    else
        text += L"does not answer (" + report.multiplexer.problem + L")\n";
    text += L"\nAdvice: " + report.advice + L"\n";
    return text;
}

void WriteDoctorJson(JsonWriter& json, const DoctorReport& report) {
    json.BeginObject();
    json.Key(L"edition");
    json.Number(report.editionBits);
    json.Key(L"candidates");
    json.BeginArray();
    for (const Candidate& c : report.candidates) {
        json.BeginObject();
        json.Key(L"source");
        json.String(SourceName(c.source));
        json.Key(L"label");
        json.String(c.label);
        json.Key(L"status");
        json.String(vendor_search::StatusName(c.status));
        json.Key(L"place");
        NullableString(json, c.place);
        json.Key(L"deviceLibrary");
        NullableString(json, c.device.path);
        json.Key(L"valueLibrary");
        NullableString(json, c.value.path);
        json.Key(L"detail");
        NullableString(json, c.detail);
        json.EndObject();
    }
    json.EndArray();
    json.Key(L"chosen");
    if (report.chosen < 0)
        json.Null();
    else
        json.Number(static_cast<int64_t>(report.chosen));
    json.Key(L"backend");
    if (report.chosen >= 0)
        json.String(L"vendor");
    else if (report.multiplexer.answered)
        json.String(L"built-in");
    else
        json.Null();
    json.Key(L"libraries");
    json.BeginArray();
    for (const FoundLibrary& library : report.libraries) {
        json.BeginObject();
        json.Key(L"path");
        json.String(library.path);
        json.Key(L"bits");
        json.Number(library.bits);
        json.Key(L"version");
        NullableString(json, library.version);
        json.Key(L"wrongBitness");
        json.Bool(library.wrongBitness);
        json.EndObject();
    }
    json.EndArray();
    json.Key(L"wrongBitnessSeen");
    json.Bool(report.wrongBitnessSeen);
    json.Key(L"multiplexer");
    json.BeginObject();
    json.Key(L"address");
    json.String(report.multiplexer.address);
    json.Key(L"answers");
    json.Bool(report.multiplexer.answered);
    json.Key(L"devices");
    if (report.multiplexer.answered)
        json.Number(report.multiplexer.devices);
    else
        json.Null();
    json.Key(L"problem");
    NullableString(json, report.multiplexer.problem);
    json.EndObject();
    json.Key(L"advice");
    json.String(report.advice);
    json.EndObject();
}

int DoctorExitCode(const DoctorReport& report) { return report.chosen >= 0 || report.multiplexer.answered ? 0 : 1; }

std::wstring MissingVendorInstallation(const vendor_search::Host& host) {
    const std::vector<Candidate> candidates = vendor_search::Search(host);
    if (vendor_search::FirstUsable(candidates))
        return std::wstring();
    bool wrongBitness = false;
    for (const Candidate& c : candidates)
        wrongBitness = wrongBitness || c.status == Status::WrongBitness;
    const int bits = vendor_folders::kEditionBits;
    return L"the vendor's device support for this " + std::to_wstring(bits) + L"-bit edition is not installed" +
           (wrongBitness ? L" (only libraries of the other bitness were found)" : L"") + L"; " + WhatToInstall(bits) +
           L" (\"orvexctl doctor\" shows where it looked)";
}

} // namespace orvexctl
