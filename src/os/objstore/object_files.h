// Objects in an S3 store as files of the POSIX OS layer.
//
// A name "s3://BUCKET/KEY" opened for writing (kCreateAlways) starts a
// multipart upload; its writes fill part buffers that a few threads of the
// object upload while the caller goes on; the close completes the upload,
// and only then does the object appear, whole.  An abandoned object, or
// one whose upload failed, is never completed: its upload is aborted.
// Opened for reading (kOpenExisting), the object is checked (HEAD) and read
// in large ranged GETs, a few ahead of the reader.  Sharing modes have no
// meaning to a store and are not enforced.
//
// Each open object holds a descriptor of /dev/null, which the OS layer
// hands out as its handle: no file of the process can have the same
// number while the object is open.  Calls on one object never overlap.
//
// A failure gives a Win32 code (s3_failure.h) and leaves the store's
// reason for the calling thread, where SystemErrorText finds it
// (ObjectFailureText).
#ifndef KORBR_OS_OBJSTORE_OBJECT_FILES_H_
#define KORBR_OS_OBJSTORE_OBJECT_FILES_H_

#include <cstdint>
#include <memory>
#include <string>

#include "os/os_layer.h"

namespace kor {

class ObjectFile {
 public:
  virtual ~ObjectFile() = default;
  virtual int descriptor() const = 0;
  // As the OsLayer calls of the same names.
  virtual bool Read(void *buffer, uint32_t length, uint32_t *done,
                    uint32_t *error) = 0;
  virtual bool WriteGather(const ByteSlice *slices, int count, uint32_t *done,
                           uint32_t *error) = 0;
  // The size of an object opened for reading (where a restore tells a
  // volume's closing labels from data that looks like them).
  virtual bool Size(uint64_t *size, uint32_t *error) = 0;
  // Ends the object: `keep` completes an upload, otherwise it is aborted
  // (a download just ends).  The threads of the object are joined and the
  // descriptor released either way.  True, or false with *error set.
  virtual bool Close(bool keep, uint32_t *error) = 0;
};

// Opens the object `name` names for CreateFile's `access` and `creation`.
// Null with *error set on failure; kErrorNotSupported where the build has
// no object storage.
std::unique_ptr<ObjectFile> OpenObjectFile(const std::string &name,
                                           uint32_t access, uint32_t creation,
                                           uint32_t *error);

// The store's reason for the last object failure of the calling thread,
// when that failure was reported with `code`.
bool ObjectFailureText(uint32_t code, std::string *text);

// Forgets the calling thread's last object failure (a later failure of
// another kind has taken its place).
void ForgetObjectFailure();

}  // namespace kor

#endif  // KORBR_OS_OBJSTORE_OBJECT_FILES_H_
