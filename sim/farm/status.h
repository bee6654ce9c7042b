// Result codes of the simulated device library. The file-service calls
// answer with the small numbers of the file conduit protocol; the device
// calls with the 0xe8000000-based codes of the vendor's device library.
#pragma once

#include <cstdint>

namespace simfarm {

enum AfcStatus : int {
    kAfcSuccess = 0,
    kAfcUnknownError = 1,
    kAfcNoResources = 3,
    kAfcReadError = 4,
    kAfcWriteError = 5,
    kAfcInvalidArgument = 7,
    kAfcObjectNotFound = 8,
    kAfcObjectIsDirectory = 9,
    kAfcPermissionDenied = 10,
    kAfcServiceNotConnected = 11,
    kAfcEndOfData = 14,
    kAfcNotSupported = 15,
    kAfcObjectExists = 16,
    kAfcObjectBusy = 17,
    kAfcNoSpaceLeft = 18,
    kAfcIoError = 20,
    kAfcInternalError = 23,
    kAfcTooManyLinks = 24, // a chain of links too long to follow
    kAfcDirectoryNotEmpty = 33,
};

enum AmdStatus : int {
    kAmdSuccess = 0,
    kAmdUndefinedError = static_cast<int>(0xe8000001u),
    kAmdNoResourcesError = static_cast<int>(0xe8000003u),
    kAmdReadError = static_cast<int>(0xe8000004u),
    kAmdWriteError = static_cast<int>(0xe8000005u),
    kAmdInvalidArgumentError = static_cast<int>(0xe8000007u),
    kAmdNotFoundError = static_cast<int>(0xe8000008u),
    kAmdPermissionError = static_cast<int>(0xe800000au),
    kAmdNotConnectedError = static_cast<int>(0xe800000bu),
    kAmdUnsupportedError = static_cast<int>(0xe800000fu),
    kAmdBusyError = static_cast<int>(0xe8000011u),
    kAmdGetProhibitedError = static_cast<int>(0xe8000016u),
    kAmdSetProhibitedError = static_cast<int>(0xe8000017u),
    kAmdSessionActiveError = static_cast<int>(0xe800001du),
    kAmdSessionInactiveError = static_cast<int>(0xe800001eu),
    kAmdInvalidServiceError = static_cast<int>(0xe8000022u),
    kAmdMissingPairRecordError = static_cast<int>(0xe8000025u),
    kAmdInvalidPairRecordError = static_cast<int>(0xe800002bu),
    kAmdServiceProhibitedError = static_cast<int>(0xe8000087u),
    kAmdApplicationNotInstalledError = static_cast<int>(0xe8000080u),
    kAmdInstallFailedError = static_cast<int>(0xe8000081u),
    kAmdDeviceDisconnectedError = static_cast<int>(0xe8000084u),
};

} // namespace simfarm
