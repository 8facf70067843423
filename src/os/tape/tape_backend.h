// One open tape drive behind the POSIX OS layer: the Linux st driver or a
// virtual drive.  Every method keeps the Win32 meaning of the OsLayer tape
// calls (os_layer.h), and every failure is a Win32 code a Windows tape
// driver gives for the same condition:
//   1100 end of media        1101 file mark read     1104 no more data
//   1112 no cartridge        19 write protected      21 drive not ready
// so the core acts the same whichever drive is underneath.
//
// The POSIX layer hands out descriptor() as the OsHandle of the drive and
// keeps the backend in its handle table until CloseHandle.  Calls on one
// backend never overlap.
#ifndef KORBR_OS_TAPE_TAPE_BACKEND_H_
#define KORBR_OS_TAPE_TAPE_BACKEND_H_

#include <cstdint>

#include "os/os_layer.h"

namespace kor {

class TapeBackend {
 public:
  TapeBackend() = default;
  TapeBackend(const TapeBackend &) = delete;
  TapeBackend &operator=(const TapeBackend &) = delete;
  virtual ~TapeBackend() = default;

  // An open descriptor that stands for the drive while it is open: no other
  // open file of the process has the same number.
  virtual int descriptor() const = 0;

  // One record into `buffer`.  As ReadFile: true with *done, or false with
  // *error (*done 0).
  virtual bool Read(void *buffer, uint32_t length, uint32_t *done,
                    uint32_t *error) = 0;
  // One record of `length` bytes.  As WriteFile.
  virtual bool Write(const void *buffer, uint32_t length, uint32_t *done,
                     uint32_t *error) = 0;
  // 0 ready, else the Win32 code of why not.
  virtual uint32_t Status() = 0;
  virtual bool MediaParams(TapeMediaParams *params, uint32_t *error) = 0;
  virtual bool DriveParams(TapeDriveParams *params, uint32_t *error) = 0;
  virtual bool SetBlockSize(uint32_t block_size, uint32_t *error) = 0;
  // 0 or a Win32 code.
  virtual uint32_t WriteTapemarks(uint32_t count) = 0;
  virtual uint32_t Unload() = 0;
  // Releases the drive and the descriptor.  True, or false with *error
  // (the descriptor is released either way).
  virtual bool Close(uint32_t *error) = 0;
};

}  // namespace kor

#endif  // KORBR_OS_TAPE_TAPE_BACKEND_H_
