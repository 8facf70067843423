// A backup's set from start to end: locked before anything is written,
// written under staging names when it replaces a set, put in place only
// when whole, and its own volumes removed when it is not (set_lock.h,
// set_staging.h).  The last line korbr prints says which happened.
#ifndef KORBR_CLI_SETLIFE_BACKUP_SET_H_
#define KORBR_CLI_SETLIFE_BACKUP_SET_H_

#include <string>
#include <vector>

#include "cli/session/host_session.h"
#include "cli/setlife/set_lock.h"
#include "cli/setlife/set_staging.h"

namespace kor {
namespace cli {

// Objects cannot be renamed, so on object storage a backup writes in
// place: onto a prefix whose first volume object exists it goes ahead only
// when asked to `replace` it (a failure there loses the old set), and once
// whole removes the old set's objects past its own last volume.  A failed
// backup onto prefixes that held no set removes the volume objects it
// completed (unless asked to keep them).  A store that cannot tell (no
// bucket, no access) is left to the library to report.
class BackupSet {
 public:
  // Locks the set of `devices` and prepares where the backup writes:
  // *write_devices are the device strings to hand the library.  With
  // `keep_partial` a process ended at once leaves its volumes.  False with
  // *error (the set is in use, cannot be staged, or is on object storage
  // and not to be replaced); nothing was written.
  bool Begin(const std::vector<std::string> &devices, bool keep_partial,
             bool replace, std::vector<std::string> *write_devices,
             std::string *error);

  // After the run (`whole`: every stripe wrote its trailer): puts a whole
  // backup in place, or removes a failed one's volumes unless
  // `keep_partial`, and tells the operator which on `session`.  True when
  // the backup is whole and in place.
  bool End(bool whole, bool keep_partial, HostSession *session);

 private:
  // End's part for the object storage stripes: removes the objects a
  // failed backup completed or a replaced set left past the new one's
  // end, and says so.
  void EndObjects(bool whole, bool keep_partial, HostSession *session);

  SetLock lock_;
  SetStaging staging_;
  std::vector<std::string> object_prefixes_;  // s3:// stripes
  bool objects_replaced_ = false;  // a set was there, written over
};

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_SETLIFE_BACKUP_SET_H_
