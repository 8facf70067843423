// setlife/: a backup set's life on its media, around the run that writes
// or reads it: the set's lock, and the staging names a backup writes under
// until it is whole.
//
// The set lock.  Every stripe prefix of a run is locked for the whole run
// before anything is written or read: a backup exclusively, a restore or
// verify shared, so that two backups never write one prefix at once and a
// restore never reads a set while a backup replaces it.  Locks are taken
// without waiting, in one fixed order (sorted by lock file name), so two
// runs never deadlock; the first refusal releases what was taken.
//
// A disk prefix DIR/NAME is locked through DIR/.NAME.lock beside its
// volumes (hidden, so that DIR/NAME.* still names volumes only): a POSIX
// record lock (fcntl) on a file created owner-only, never opened through
// a symbolic link.  The exclusive holder writes "pid=N host=NAME
// command=backup" into it, so a refusal names the running process.  The
// last holder removes the file as it lets go (a lock counts only on the
// file its path still names, so a run that opened the old file retries).
//
// An object storage prefix (s3://BUCKET/KEY) is locked through a file on
// this host: $XDG_RUNTIME_DIR (or /tmp) /korbr-set-HASH.lock, HASH the
// SHA-256 of the prefix URL.  Runs on one host never overlap; runs on two
// hosts are not kept apart (the store has no lock korbr could rely on).
//
// Tape stripes take no lock: a drive is opened exclusively by the library.
#ifndef KORBR_CLI_SETLIFE_SET_LOCK_H_
#define KORBR_CLI_SETLIFE_SET_LOCK_H_

#include <string>
#include <vector>

namespace kor {
namespace cli {

class SetLock {
 public:
  SetLock() = default;
  ~SetLock();  // releases every lock
  SetLock(const SetLock &) = delete;
  SetLock &operator=(const SetLock &) = delete;

  // Locks every stripe prefix of `devices` (device strings) for the run of
  // `command`, exclusively or shared.  False with *error naming the
  // prefix and the run that holds it (or why the lock file cannot be
  // opened); nothing stays locked then.  A prefix whose directory does
  // not exist is not locked (the library reports it), nor is one whose
  // lock file a restore or verify cannot create (read-only media).
  bool Acquire(const std::vector<std::string> &devices,
               const std::string &command, bool exclusive, std::string *error);
  void Release();

  // The lock file of the stripe with devname `devname`; "" for a tape.
  static std::string LockPathOf(const std::string &devname);

 private:
  struct Held {
    int fd;
    std::string path;
  };
  std::vector<Held> held_;
};

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_SETLIFE_SET_LOCK_H_
