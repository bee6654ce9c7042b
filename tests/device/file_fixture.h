// Shared pieces of the file-export tests: one simulated farm for the whole
// test program with the device library loaded by name and listening, a
// jailbroken and a stock device plugged in, a fresh scratch folder on the
// jailbroken device for every test, a recorder of progress calls and a
// reader of the log lines a call adds.
#pragma once

#include "tests/device/device_dll.h"
#include "tests/device/raw_afc.h"
#include "tests/support/farm.h"
#include "tests/support/test_util.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace devfiles {

// One progress call as the library made it.
struct ProgressCall {
    std::wstring identifier;
    std::wstring text;
    unsigned int percent;
};

// Every progress call made through Record since the last Clear.
struct Progress {
    static void Record(const wchar_t* identifier, const wchar_t* text, unsigned int percent);
    static std::vector<ProgressCall>& Calls();
    // Runs on every recorded call, after it is recorded (null for none).
    static void (*hook)(const ProgressCall& call);
};

// The lines the daily log gained since the watch was made (or reset). Other
// programs may log at the same time: assert on texts that name this test's
// own paths, or on texts only these exports write.
class LogWatch {
  public:
    LogWatch() { Reset(); }
    void Reset();
    std::vector<std::wstring> NewLines() const;
    bool Has(const std::wstring& text) const;
    // No new line holds any text the file exports write, nor `path`.
    bool QuietAbout(const std::wstring& path) const;

  private:
    std::wstring m_file;
    unsigned long long m_offset = 0;
};

// Equal byte strings; on a difference, the sizes and the first differing
// offset (never the bytes themselves).
::testing::AssertionResult SameBytes(const std::string& actual, const std::string& expected);

// Deterministic content of `size` bytes, different for each `seed`.
std::string Pattern(size_t size, unsigned seed);

class FileExportsTest : public ::testing::Test {
  public:
    static void SetUpTestSuite();
    static void TearDownTestSuite();

  protected:
    void SetUp() override;
    void TearDown() override;

    static testutil::DeviceDll& dll();
    static testfarm::SimulatedFarm& farm();
    // Identifiers of the jailbroken and the stock device.
    static const std::wstring& Jailbroken();
    static const std::wstring& Stock();
    // A new device plugged in and announced to the library (for tests that
    // unplug it); empty on failure.
    static std::wstring PlugInNewDevice();
    // Waits until the library has heard of the device's arrival (its removal).
    static bool WaitForArrival(const std::wstring& udid);
    static bool WaitForDeparture(const std::wstring& udid);
    // The device for a case that sets `fault`: a new one when the fault
    // unplugs the device (empty on failure), else the jailbroken one.
    // Retire takes a new one away again and clears the jailbroken one's
    // faults.
    static std::wstring DeviceFor(const std::wstring& fault);
    static void Retire(const std::wstring& udid);

    // Host path of a device path (jailbroken device unless `udid` given).
    std::wstring Host(const std::wstring& devicePath, const std::wstring& udid = std::wstring()) const;
    bool PutDeviceFile(const std::wstring& devicePath, const std::string& bytes,
                       const std::wstring& udid = std::wstring()) const;
    bool MakeDeviceFolder(const std::wstring& devicePath, const std::wstring& udid = std::wstring()) const;
    // The folder `name` made anew with `files` (name → content) in it: in
    // the scratch folder on the jailbroken device, in /var/mobile/Media on
    // another. Its device path; empty on failure.
    std::wstring FreshFolder(const std::wstring& udid, const std::wstring& name,
                             const std::map<std::wstring, std::string>& files) const;
    // Content of a device file; false when it doesn't exist.
    bool DeviceBytes(const std::wstring& devicePath, std::string* bytes,
                     const std::wstring& udid = std::wstring()) const;
    bool DeviceEntryExists(const std::wstring& devicePath, const std::wstring& udid = std::wstring()) const;
    // The stand-in keeps no handle open on the entry's file (its connection
    // was closed): the file can be opened with no sharing at all.
    bool DeviceFileReleased(const std::wstring& devicePath, const std::wstring& udid = std::wstring()) const;

    // The line a folder listing cut short by a failed read leaves.
    static std::wstring FolderReadFailed(const std::wstring& devicePath) {
        return L"读取文件目录 " + devicePath + L" 失败";
    }
    // Whether the run can cut a listing between two names. The stand-in
    // hands the names out one read at a time; on the wire the file service
    // sends a folder's whole listing in one answer, so a listing fault fails
    // the folder's opening instead, and what was done before differs.
    static bool CutsInsideListings() { return !testfarm::SimulatedFarm::Served(); }
    // The line a failed listing of `devicePath` leaves: the failed read, or
    // where listings are not cut inside, the failed opening.
    bool FolderFailureLogged(const std::wstring& devicePath) const {
        return log.Has(FolderReadFailed(devicePath)) ||
               (!CutsInsideListings() && log.Has(L"打开文件目录 " + devicePath + L" 失败"));
    }

    // "/var/mobile/Media/<test name>" on the jailbroken device, made anew.
    std::wstring scratch;
    testutil::TempDir local;
    LogWatch log;
};

} // namespace devfiles
