// What stands behind an open handle of the POSIX OS layer, and the table
// that finds it.
//
// Every handle is one of three kinds of file, chosen once, by the name, at
// OpenFile (device_kinds.h): a disk file, a tape drive or an object.  Each
// kind implements FileBackend, and the PosixOs calls on a handle dispatch
// to its backend without asking again what the handle is.
//
// A tape drive's or an object's backend is entered in the handle table at
// its open, under the descriptor it holds open, and stays there until its
// close.  A disk file is not entered: its handle is its descriptor, and any
// handle not in the table is served as a disk file (DiskFile), which is
// also what a handle of nothing open meets (6, invalid handle).  So plain
// file I/O pays nothing for the table while no drive or object is open.
#ifndef KORBR_OS_POSIX_FILE_BACKEND_H_
#define KORBR_OS_POSIX_FILE_BACKEND_H_

#include <cstdint>
#include <memory>

#include "os/os_layer.h"

namespace kor {

class TapeBackend;

// The most slices one gathered write takes (the library gives two).
constexpr int kMaxGatherSlices = 8;

// One open file.  Each call keeps the Win32 meaning of the OsLayer call of
// the same name (os_layer.h), is entered with *done and *error already 0,
// and reports failures as Win32 codes.  Calls on one backend never overlap.
class FileBackend {
 public:
  virtual ~FileBackend() = default;

  virtual bool Read(void *buffer, uint32_t length, uint32_t *done,
                    uint32_t *error) = 0;
  // ReadFile's counterpart.  Unless a backend writes records of its own,
  // the buffer is a gathered write of one slice, with the same rules.
  virtual bool Write(const void *buffer, uint32_t length, uint32_t *done,
                     uint32_t *error);
  // 0 <= count <= kMaxGatherSlices (checked by the caller).
  virtual bool WriteGather(const ByteSlice *slices, int count, uint32_t *done,
                           uint32_t *error) = 0;
  // FlushFile and CheckFileNamed: true where the backend has nothing to
  // flush and no name to lose.
  virtual bool Flush(uint32_t *error);
  virtual bool CheckNamed(uint32_t *error);
  // Cache hints: nothing where the backend has no pages in the cache.
  virtual void StartWriteback(uint64_t offset, uint64_t length);
  virtual void DropFromCache(uint64_t offset, uint64_t length);
  virtual void ExpectSequentialReads();
  virtual bool Size(uint64_t *size, uint32_t *error) = 0;
  // CloseHandle (`keep`) or AbandonFile (not `keep`: what was written need
  // not survive, where the backend can tell the difference).  The
  // descriptor is released either way.
  virtual bool Close(bool keep, uint32_t *error) = 0;
  // The drive behind a tape handle, for the tape calls; null otherwise.
  virtual TapeBackend *tape();
};

// Enters `backend`, which holds `descriptor` open, and gives the handle
// that stands for it (the descriptor).
OsHandle AddBackend(int descriptor, std::unique_ptr<FileBackend> backend);

// The backend entered for `handle`, or null (a disk file, or nothing).  The
// pointer is used without a lock: calls on one handle never overlap and
// only TakeBackend, from that handle's close, removes it.
FileBackend *FindBackend(OsHandle handle);

// Takes the backend of `handle` out of the table, before its descriptor is
// closed, so that the number can be reused by a plain file without being
// taken for a drive or an object.  Null when none was entered.
std::unique_ptr<FileBackend> TakeBackend(OsHandle handle);

}  // namespace kor

#endif  // KORBR_OS_POSIX_FILE_BACKEND_H_
