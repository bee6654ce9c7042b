// The metadata record and cached icon of an application archive. The export
// itself, GetAppInfoFromIPA, is declared with the others in
// device/OrvexDevice.h.
#pragma once

#include "device/OrvexDevice.h"

#include <string>

// "<documents>\Tevrin\AppIcons\<identifier>_<version>.png", creating the two
// folders when they are missing; empty when either can't be created.
// Characters that Windows refuses in file names become "_".
std::wstring IconCachePath(const std::wstring& identifier, const std::wstring& version);
