// orvexctl doctor: what vendor software this PC has for this edition, which
// of it the device library would use, and whether the vendor's device
// multiplexer sees devices. It binds nothing and shows no box.
#pragma once

#include "backend/multiplexer.h"
#include "platform/vendor_search.h"

#include <string>
#include <vector>

namespace orvexctl {

class JsonWriter;

struct FoundLibrary {
    std::wstring path;
    int bits = 0;
    std::wstring version; // empty: no version resource
    bool wrongBitness = false;
};

struct DoctorReport {
    int editionBits = 0;
    std::vector<vendor_search::Candidate> candidates;
    int chosen = -1; // index of the candidate the loader would use
    std::vector<FoundLibrary> libraries;
    bool wrongBitnessSeen = false;
    backend::MultiplexerAnswer multiplexer;
    std::wstring advice;
};

// Looks at everything; the multiplexer gets `multiplexerMilliseconds`.
DoctorReport Examine(const vendor_search::Host& host, unsigned multiplexerMilliseconds);

// The one line of advice for what was found.
std::wstring Advice(const DoctorReport& report);

std::wstring DoctorText(const DoctorReport& report);
void WriteDoctorJson(JsonWriter& json, const DoctorReport& report);

// Exit status of the command: 0 when the device library would bind (the
// vendor's libraries, or its built-in backend where the multiplexer
// answers), 1 when it would not.
int DoctorExitCode(const DoctorReport& report);

// One line for a command that needs the vendor's software when the loader
// would find none (empty when it would).
std::wstring MissingVendorInstallation(const vendor_search::Host& host);

} // namespace orvexctl
