#include "sim/farm/file_slot.h"

#include "sim/farm/devfs.h"

#include <algorithm>
#include <cstring>

namespace simfarm {

const char kMediaFolder[] = "/var/mobile/Media";
const char kAfcService[] = "com.apple.afc";
const char kAfc2Service[] = "com.apple.afc2";

namespace {

// Size of the blocks in which file contents reach the disk.
const size_t kBlock = 1024 * 1024;
// The first read-ahead block of a file; each later one is twice as large, up to kBlock.
const size_t kFirstBlock = 16 * 1024;

} // namespace

bool ModeCanRead(uint64_t mode) {
    return mode == kModeRead || mode == kModeReadWrite || mode == kModeReadWriteTruncate || mode == kModeReadAppend;
}

bool ModeCanWrite(uint64_t mode) { return mode >= kModeReadWrite && mode <= kModeReadAppend; }

FileSlot::FileSlot() : m_aheadBlock(kFirstBlock) {}

bool FileSlot::Flush() {
    if (m_pending.empty())
        return true;
    if (append)
        ::SetFilePointer(file.get(), 0, nullptr, FILE_END);
    DWORD written = 0;
    bool ok = ::WriteFile(file.get(), m_pending.data(), static_cast<DWORD>(m_pending.size()), &written, nullptr) &&
              written == m_pending.size();
    m_pending.clear();
    return ok;
}

bool FileSlot::Read(char* out, unsigned wanted, unsigned* got) {
    *got = 0;
    if (!Flush())
        return false;
    while (*got < wanted) {
        unsigned left = wanted - *got;
        if (m_next == m_ahead.size()) {
            if (left >= kBlock) {
                DWORD n = 0;
                if (!::ReadFile(file.get(), out + *got, left, &n, nullptr))
                    return false;
                *got += n;
                return true;
            }
            // Small files are the most read (property lists): the block
            // grows with each refill rather than costing 1 MiB at once.
            const size_t block = m_aheadBlock;
            m_aheadBlock = std::min(kBlock, 2 * m_aheadBlock);
            m_ahead.resize(block);
            DWORD n = 0;
            bool ok = ::ReadFile(file.get(), m_ahead.data(), static_cast<DWORD>(block), &n, nullptr) != 0;
            m_ahead.resize(ok ? n : 0);
            m_next = 0;
            if (!ok)
                return false;
            if (n == 0)
                return true;
        }
        size_t n = std::min<size_t>(left, m_ahead.size() - m_next);
        std::memcpy(out + *got, m_ahead.data() + m_next, n);
        m_next += n;
        *got += static_cast<unsigned>(n);
    }
    return true;
}

bool FileSlot::Write(const char* data, unsigned length) {
    if (!DropReadAhead())
        return false;
    if (m_pending.empty() && length >= kBlock) { // a whole block already: no need to gather it
        if (append)
            ::SetFilePointer(file.get(), 0, nullptr, FILE_END);
        DWORD written = 0;
        return ::WriteFile(file.get(), data, length, &written, nullptr) && written == length;
    }
    m_pending.insert(m_pending.end(), data, data + length);
    return m_pending.size() < kBlock || Flush();
}

bool FileSlot::Tell(uint64_t* position) {
    if (!Flush() || !DropReadAhead())
        return false;
    LARGE_INTEGER zero{}, here{};
    if (!::SetFilePointerEx(file.get(), zero, &here, FILE_CURRENT))
        return false;
    *position = static_cast<uint64_t>(here.QuadPart);
    return true;
}

bool FileSlot::Seek(uint64_t whence, int64_t offset) {
    DWORD method = whence == 0 ? FILE_BEGIN : whence == 1 ? FILE_CURRENT : whence == 2 ? FILE_END : ~0u;
    if (method == ~0u || !Flush() || !DropReadAhead())
        return false;
    LARGE_INTEGER distance, now{};
    distance.QuadPart = offset;
    LARGE_INTEGER here{};
    if (!::SetFilePointerEx(file.get(), LARGE_INTEGER{}, &here, FILE_CURRENT))
        return false;
    if (!::SetFilePointerEx(file.get(), distance, &now, method))
        return false;
    if (now.QuadPart < 0) { // before the start: stay where the file was
        ::SetFilePointerEx(file.get(), here, nullptr, FILE_BEGIN);
        return false;
    }
    return true;
}

bool FileSlot::SetSize(uint64_t size) {
    if (size > static_cast<uint64_t>(INT64_MAX) || !Flush() || !DropReadAhead())
        return false;
    LARGE_INTEGER here{}, target;
    target.QuadPart = static_cast<LONGLONG>(size);
    if (!::SetFilePointerEx(file.get(), LARGE_INTEGER{}, &here, FILE_CURRENT) ||
        !::SetFilePointerEx(file.get(), target, nullptr, FILE_BEGIN))
        return false;
    bool ok = ::SetEndOfFile(file.get()) != 0;
    ::SetFilePointerEx(file.get(), here, nullptr, FILE_BEGIN);
    return ok;
}

bool FileSlot::DropReadAhead() {
    size_t unread = m_ahead.size() - m_next;
    m_ahead.clear();
    m_next = 0;
    if (unread == 0)
        return true;
    LARGE_INTEGER back;
    back.QuadPart = -static_cast<LONGLONG>(unread);
    return ::SetFilePointerEx(file.get(), back, nullptr, FILE_CURRENT) != 0;
}

} // namespace simfarm
