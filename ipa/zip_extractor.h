// The zip extraction layer: a driver that walks every entry of an archive
// once and a delegate that decides, entry by entry, what is extracted.
// Entry names are UTF-16 relative paths with "\" as separator.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Callbacks of one extraction run. The order of the virtual operations is
// part of the interface: keep it.
class ZipArchiveDelegate {
  public:
    // A failure text of the driver; the result is ignored.
    virtual int OnMessage(const wchar_t* text) = 0;
    // Not called by the driver.
    virtual int OnQuery(const wchar_t* name) = 0;
    // The target file exists: 0 cancel the run, 1 overwrite, 2 overwrite this
    // and every later one, 3 skip, 4 skip this and every later one.
    virtual int OnFileExists(const wchar_t* name) = 0;
    // 1 or 2 extract the entry; anything else passes it over.
    virtual int OnFilterEntry(const wchar_t* name) = 0;
    virtual int OnEntryExtracted(const wchar_t* name) = 0;
    virtual int OnEntrySkipped(const wchar_t* name) = 0;
    // Called once when OnFileExists answered 0.
    virtual void OnCancelled() = 0;
    // Nonzero to go on with the next entry.
    virtual int ShouldContinue() = 0;
    virtual ~ZipArchiveDelegate() = default;
};

// Extracts every entry whose last name component equals the target name,
// ignoring the case of A-Z; existing files are overwritten; failure texts go
// to the daily log.
class SingleFileZipDelegate : public ZipArchiveDelegate {
  public:
    SingleFileZipDelegate() = default;
    ~SingleFileZipDelegate() override;
    SingleFileZipDelegate(const SingleFileZipDelegate&) = delete;
    SingleFileZipDelegate& operator=(const SingleFileZipDelegate&) = delete;

    // Null stores no name, which matches folder entries only.
    void SetTargetName(const wchar_t* name);
    const wchar_t* TargetName() const { return m_pTargetName; }

    int OnMessage(const wchar_t* text) override;
    int OnQuery(const wchar_t* name) override;
    int OnFileExists(const wchar_t* name) override;
    int OnFilterEntry(const wchar_t* name) override;
    int OnEntryExtracted(const wchar_t* name) override;
    int OnEntrySkipped(const wchar_t* name) override;
    void OnCancelled() override;
    int ShouldContinue() override;

  private:
    wchar_t* m_pTargetName = nullptr;
};

// The largest entry that is extracted: nothing the reader needs is that
// large, and it keeps a crafted archive from filling the disk.
constexpr uint64_t kMaxEntryBytes = 64ull * 1024 * 1024;

// True when a relative entry name (with "\" separators) stays inside the
// folder it is extracted to: no empty name or component, no "." or "..",
// no root, drive, UNC or "\\?\" prefix, no stream colon, none of the
// characters Windows refuses in names, no component ending in "." or blank
// (Windows would strip them), no reserved device name.
bool IsSafeEntryName(const std::wstring& name);

class ZipExtractor {
  public:
    ZipExtractor() = default;
    ~ZipExtractor();
    ZipExtractor(const ZipExtractor&) = delete;
    ZipExtractor& operator=(const ZipExtractor&) = delete;

    // Borrowed; must outlive the runs.
    void SetDelegate(ZipArchiveDelegate* delegate) { m_pDelegate = delegate; }

    // Opens the archive by its UTF-16 path; 1 when it could be opened.
    int OpenArchive(const wchar_t* archivePath);
    // Walks all entries, extracting what the delegate accepts below the
    // folder. An entry is opened only when the delegate accepts it. 1 on success (a cancelled run included), 0 on a
    // failure that was reported through OnMessage. Throws CIpaException when a target file can't be created or written.
    int ExtractAllTo(const wchar_t* destinationFolder);
    // Closes an open entry and the archive; always 1.
    int CloseArchive();

    // Makes sure the folder exists, creating missing levels from the top.
    static int CreateFolderPath(const std::wstring& path);
    // "\" itself, or "X:" / "X:\" (a ":" after the first character and no
    // "\" except a last one).
    static int IsDriveRoot(const std::wstring& path);

  private:
    enum class Step { Next, Stop };
    // An entry as the central directory describes it.
    struct Entry {
        size_t name;   // offset of the name (UTF-16, "\" separators, terminated) in m_names
        size_t length; // its length in units
        bool isFolder;
        uint64_t uncompressedSize;
        uint64_t directoryOffset, index; // where minizip finds it again
    };
    // The archive file as it was when its entries were listed.
    struct Stamp {
        std::wstring path;
        uint64_t size = 0, written = 0, entries = 0;
        bool operator==(const Stamp& other) const = default;
    };

    // The entries of the archive listed last in this process, shared by
    // all extractors: a later call on the same unchanged archive starts
    // from them. Taken only for the same path, size, write time and entry
    // count.
    struct Listing {
        Stamp stamp;
        std::vector<Entry> entries;
        std::vector<wchar_t> names;
    };
    static Listing& SharedListing();
    bool TakeSharedListing();
    void KeepSharedListing() const;

    bool ListDirectory();
    int WalkDirectory(const std::wstring& destination, std::vector<char>& buffer);
    int WalkListed(const std::wstring& destination, std::vector<char>& buffer);
    bool ReadCurrent(Entry* entry);
    Step ExtractEntry(const Entry& entry, bool positioned, const std::wstring& destination, std::vector<char>& buffer,
                      int* result);
    Step WriteCurrent(const std::wstring& name, const std::wstring& target, std::vector<char>& buffer, int* result);
    int Message(const wchar_t* text);
    int Message(const wchar_t* format, const std::wstring& subject);

    void* m_hZip = nullptr;
    void* m_file = nullptr; // the archive file under m_hZip (zip_file_io.h)
    ZipArchiveDelegate* m_pDelegate = nullptr;
    int m_nExistingState = 1;
    std::vector<char> m_nameBuffer;
    // The entries of the archive, kept while the extractor lives: a later
    // run on the same unchanged archive (the next pass of the same call)
    // walks this list instead of reading the directory again. Read in one
    // go where the directory is plain (ListDirectory), else recorded by a
    // walk with minizip that reaches the end. Bounded: a directory with
    // more name text than kMaxListedNameUnits is read again on every run.
    Stamp m_opened, m_listedStamp;
    std::vector<Entry> m_entries;
    std::vector<wchar_t> m_names;
    bool m_listed = false;
};
