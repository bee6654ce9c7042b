// The error codes the built-in backend's calls return: the device library's
// 0xe8000000-based codes, so that callers see what the vendor's library
// would have said. 0 is success.
#pragma once

namespace backend {

enum Status : int {
    kOk = 0,
    kUndefinedError = static_cast<int>(0xe8000001u),
    kNoResourcesError = static_cast<int>(0xe8000003u),
    kReadError = static_cast<int>(0xe8000004u),
    kWriteError = static_cast<int>(0xe8000005u),
    kInvalidArgumentError = static_cast<int>(0xe8000007u),
    kNotFoundError = static_cast<int>(0xe8000008u),
    kPermissionError = static_cast<int>(0xe800000au),
    kNotConnectedError = static_cast<int>(0xe800000bu),
    kTimeoutError = static_cast<int>(0xe800000cu),
    kUnsupportedError = static_cast<int>(0xe800000fu),
    kBusyError = static_cast<int>(0xe8000011u),
    kInvalidResponseError = static_cast<int>(0xe8000013u),
    kMissingValueError = static_cast<int>(0xe8000015u),
    kGetProhibitedError = static_cast<int>(0xe8000016u),
    kSetProhibitedError = static_cast<int>(0xe8000017u),
    kPasswordProtectedError = static_cast<int>(0xe800001au),
    kInvalidHostIdError = static_cast<int>(0xe800001cu),
    kSessionActiveError = static_cast<int>(0xe800001du),
    kSessionInactiveError = static_cast<int>(0xe800001eu),
    kInvalidServiceError = static_cast<int>(0xe8000022u),
    kMissingPairRecordError = static_cast<int>(0xe8000025u),
    kInvalidPairRecordError = static_cast<int>(0xe800002bu),
    kApplicationNotInstalledError = static_cast<int>(0xe8000080u),
    kServiceProhibitedError = static_cast<int>(0xe8000087u),
    kUserDeniedPairingError = static_cast<int>(0xe8000096u),
};

} // namespace backend
