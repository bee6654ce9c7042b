// Helpers of the archive reader's tests: the generated test data, folder
// trees, and a private documents folder whose daily log can be read back.
#pragma once

#include "platform/seams.h"
#include "tests/support/test_util.h"

#include <string>
#include <vector>

namespace ipatest {

// A file of the generated test data (build/testdata/ipa).
std::wstring DataPath(const std::wstring& name);
// Where the PNG tests leave their output for the independent check.
std::wstring PngResultsFolder();
// Where the archive tests leave the icon they produced, for the same check.
std::wstring AppResultsFolder();

// Binds the value library stand-in beside the test program into the slots
// of the vendor calls (the device library is not needed by the reader).
bool BindValueLibrary();
void UnbindValueLibrary();

// Relative paths ("a\b.txt") of every file and folder below `root`, sorted;
// folders end in "\".
std::vector<std::wstring> ListTree(const std::wstring& root);
std::string ReadAll(const std::wstring& path);

// Points the documents folder at a private folder for its lifetime, so the
// daily log can be read back.
class CapturedLog {
  public:
    CapturedLog();
    ~CapturedLog();
    CapturedLog(const CapturedLog&) = delete;
    CapturedLog& operator=(const CapturedLog&) = delete;

    const std::wstring& Documents() const { return m_dir.path(); }
    // The messages logged so far (the time prefix cut off), in order.
    std::vector<std::wstring> Lines() const;

  private:
    testutil::TempDir m_dir;
    seams::FolderHook m_previous;
};

} // namespace ipatest
