#include "tools/orvexctl/transfer_plan.h"

#include "platform/handles.h"

#include <memory>

namespace orvexctl {

namespace {

// Deeper trees are not planned further (a loop of folder links would never end).
const int kDeepestLevel = 64;

void PlanLocal(const std::wstring& path, int level, TransferTally* tally) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (level > kDeepestLevel || !::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return;
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        tally->AddFile(path, (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
        return;
    }
    WIN32_FIND_DATAW entry;
    UniqueFindHandle find(::FindFirstFileW((path + L"\\*.*").c_str(), &entry));
    if (!find)
        return;
    do {
        std::wstring name = entry.cFileName;
        if (name != L"." && name != L"..")
            PlanLocal(path + L"\\" + name, level + 1, tally);
    } while (::FindNextFileW(find.get(), &entry));
}

bool PlanDevice(const DeviceApi& api, const std::wstring& udid, const std::wstring& folder, int level, DevicePlan* plan,
                TransferTally* tally) {
    if (level > kDeepestLevel)
        return false;
    __IOS_FILE* files = nullptr;
    unsigned count = 0;
    if (api.GetFilesInDirectory(udid.c_str(), folder.c_str(), &files, &count) != 1)
        return false;
    std::unique_ptr<__IOS_FILE, decltype(api.ReleaseMemory)> owned(files, api.ReleaseMemory);
    bool complete = true;
    for (unsigned i = 0; i < count; ++i) {
        const __IOS_FILE& file = files[i];
        std::wstring child(file.Path, wcsnlen(file.Path, std::size(file.Path)));
        ++plan->entries;
        if (file.Type == 0)
            complete = PlanDevice(api, udid, child, level + 1, plan, tally) && complete;
        else if (tally)
            tally->AddFile(child, file.Size > 0 ? static_cast<uint64_t>(file.Size) : 0);
    }
    return complete;
}

} // namespace

void PlanLocalTree(const std::wstring& path, TransferTally* tally) { PlanLocal(path, 0, tally); }

void PlanDeviceTree(const DeviceApi& api, const std::wstring& udid, const std::wstring& path, DevicePlan* plan,
                    TransferTally* tally) {
    *plan = DevicePlan();
    auto top = std::make_unique<__IOS_FILE>();
    if (api.GetFileInfoOnDevice(udid.c_str(), path.c_str(), top.get()) != 1)
        return;
    plan->entries = 1;
    if (top->Type != 0) {
        if (tally)
            tally->AddFile(path, top->Size > 0 ? static_cast<uint64_t>(top->Size) : 0);
        plan->complete = true;
        return;
    }
    plan->complete = PlanDevice(api, udid, path, 0, plan, tally);
}

} // namespace orvexctl
