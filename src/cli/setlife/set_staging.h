// Replacing a backup set only when the new one is whole.
//
// A disk stripe with prefix PREFIX keeps its volumes in PREFIX.1,
// PREFIX.2, ...  A backup onto prefixes that hold no volume writes there
// directly; a failed one removes what it wrote (unless asked to keep it),
// which is only its own, since the backup holds the set lock.  A backup
// onto prefixes of which any holds volumes writes every disk stripe under
// the staging prefix PREFIX.staging-PID instead, and only once every
// stripe wrote its trailer and closed (the library flushed each volume)
// renames the staged volumes into place, syncs the directory and removes
// the old set's volumes beyond the new set's last.  The volume labels hold
// no file name, so a renamed volume is the volume the library wrote.  A
// failed backup removes its staged volumes and leaves the old set as it
// was.
//
// A staged volume of a run that died unannounced (SIGKILL, a crash) is
// debris: the next backup, holding the set lock and so sure no live run
// owns it, removes it.  A restore reads PREFIX.N only, so debris is never
// taken for a set.
//
// Contract: every call is made under the exclusive set lock (set_lock.h),
// from one thread.  Tape and object storage stripes are left as they are.
#ifndef KORBR_CLI_SETLIFE_SET_STAGING_H_
#define KORBR_CLI_SETLIFE_SET_STAGING_H_

#include <cstddef>
#include <string>
#include <vector>

namespace kor {
namespace cli {

// The numbers N of the volume files PREFIX.N in PREFIX's directory
// (`prefix` absolute), ascending.
std::vector<unsigned> VolumeNumbersOf(const std::string &prefix);

// `devstring` with every devname value replaced by `devname`.
std::string WithDevname(const std::string &devstring,
                        const std::string &devname);

// A replacement is put in place under a note beside every stripe's
// volumes (DIR/.NAME.replacing, written and synced before the first
// rename, removed after the last), which names every stripe's staged
// prefix and new last volume.  A run killed while renaming leaves the
// notes; the next run that locks the set exclusively finishes the
// renames from them, so the set on the prefixes is never a mix of two
// backups once a run has looked at it.

// True when a note of an unfinished replacement lies beside a disk
// stripe of `devices`.
bool HasInterruptedReplacement(const std::vector<std::string> &devices);
// Finishes every replacement whose note lies beside a disk stripe of
// `devices` (under the exclusive set lock).  *finished tells whether there
// was one.  False with *error when a rename failed.
bool FinishInterruptedReplacement(const std::vector<std::string> &devices,
                                  bool *finished, std::string *error);

class SetStaging {
 public:
  // Looks at the disk stripes of `devices`: removes staging debris, and
  // decides where this backup writes.  *write_devices gets the device
  // strings to give the library (staging prefixes where the set is to be
  // replaced).  False with *error when a staging name would be too long.
  bool Prepare(const std::vector<std::string> &devices,
               std::vector<std::string> *write_devices, std::string *error);

  // Staged volumes of dead runs that Prepare removed.
  size_t debris_removed() const { return debris_removed_; }
  // True when Prepare finished a replacement a killed run had begun.
  bool finished_replacement() const { return finished_replacement_; }
  // True when this backup writes under staging names (a set is there).
  bool replacing() const { return replacing_; }
  // Absolute prefixes this run's volume files are named from (staging or
  // direct), for removal should the process be ended at once.
  std::vector<std::string> write_prefixes() const;
  // The set's prefixes, for messages: the first, and how many more.
  std::string SetName() const;

  // After a whole backup: puts the staged volumes in place (nothing to do
  // when writing directly) and removes the old set's leftover volumes.
  // False with *error (naming the file) when that failed: *begun tells
  // whether the notes were written, so that the next run finishes the
  // replacement; otherwise nothing was renamed and the old set stands.
  bool Commit(bool *begun, std::string *error);
  // How many volume files this run has written so far.
  size_t VolumesWritten() const;
  // After a failed backup: removes this run's volume files unless
  // `keep`.  Returns how many it removed.
  size_t Discard(bool keep);

 private:
  struct Stripe {
    std::string prefix;        // absolute: the set's volumes are PREFIX.N
    std::string write_prefix;  // where this run's volumes go
  };
  std::vector<Stripe> stripes_;
  size_t debris_removed_ = 0;
  bool finished_replacement_ = false;
  bool replacing_ = false;
};

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_SETLIFE_SET_STAGING_H_
