// What both file services (the stand-in device library's and the wire's)
// keep of a device file held open: writes gathered and taken to the disk in
// large blocks, reads served from a read-ahead block.
#pragma once

#include "platform/handles.h"

#include <cstdint>
#include <mutex>
#include <vector>

namespace simfarm {

// The ordinary file service serves this folder as its root.
extern const char kMediaFolder[]; // "/var/mobile/Media"
extern const char kAfcService[];  // "com.apple.afc"
extern const char kAfc2Service[]; // "com.apple.afc2"

bool ModeCanRead(uint64_t mode);
bool ModeCanWrite(uint64_t mode);

// Writes reach the disk in blocks of 1 MiB, and at the latest when the file
// is flushed (its owner flushes before anything else is done on its
// connection, and on close); reads come from a read-ahead block that grows
// from 16 KiB to 1 MiB.
class FileSlot {
  public:
    UniqueHandle file;
    uint64_t mode = 0;
    bool append = false;
    std::mutex lock; // held by every call on the file

    FileSlot();
    bool Flush();
    // Fills `out` with up to `wanted` bytes; fewer only at the end of the file.
    bool Read(char* out, unsigned wanted, unsigned* got);
    bool Write(const char* data, unsigned length);
    // The position the caller sees (pending writes and the read-ahead
    // accounted for); false on a failed flush.
    bool Tell(uint64_t* position);
    // Moves the position: whence 0 from the start, 1 from here, 2 from the end.
    bool Seek(uint64_t whence, int64_t offset);
    // Cuts or extends the file to `size`.
    bool SetSize(uint64_t size);

  private:
    // Puts the file position back where the reader is.
    bool DropReadAhead();

    std::vector<char> m_pending;
    std::vector<char> m_ahead;
    size_t m_aheadBlock;
    size_t m_next = 0;
};

} // namespace simfarm
