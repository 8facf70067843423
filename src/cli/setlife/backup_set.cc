// A backup's set from start to end.
#include "cli/setlife/backup_set.h"

#include "cli/session/interrupts.h"

namespace kor {
namespace cli {

bool BackupSet::Begin(const std::vector<std::string> &devices,
                      bool keep_partial,
                      std::vector<std::string> *write_devices,
                      std::string *error) {
  if (!lock_.Acquire(devices, "backup", true, error)) return false;
  if (!staging_.Prepare(devices, write_devices, error)) return false;
  if (!keep_partial) SetPartialVolumePrefixes(staging_.write_prefixes());
  return true;
}

bool BackupSet::End(bool whole, bool keep_partial, HostSession *session) {
  ClearPartialVolumePrefixes();
  if (staging_.debris_removed() > 0) {
    session->Note("removed " + std::to_string(staging_.debris_removed()) +
                  " staged volume file" +
                  (staging_.debris_removed() == 1 ? "" : "s") +
                  " that an ended backup left beside " + staging_.SetName());
  }
  if (staging_.finished_replacement()) {
    session->Note("finished putting in place the backup that a killed run "
                  "had begun to put on " + staging_.SetName());
  }
  const std::string name = staging_.SetName();
  if (name.empty()) return whole;  // tapes and object storage
  if (whole) {
    // Once the renames begin, the set must not be left half replaced by a
    // signal: it waits until they are done.
    HoldInterruptsInThisThread();
    std::string error;
    const bool placed = staging_.Commit(&error);
    LetInterruptsThroughInThisThread();
    if (!placed) {
      session->Error(error);
      session->Error("the backup on " + name +
                     " may be a mix of the old and the new backup: run "
                     "'korbr verify' and back up again");
      return false;
    }
    if (staging_.replacing()) {
      session->Note("replaced the previous backup on " + name);
    }
    return true;
  }
  const size_t removed = staging_.Discard(keep_partial);
  if (staging_.replacing()) {
    session->Error(
        "the previous backup on " + name + " is untouched" +
        (keep_partial ? "; this backup's partial volumes are kept as " +
                            staging_.write_prefixes().front() +
                            ".N (the next backup there removes them)"
                      : ""));
  } else if (keep_partial) {
    session->Error("the partial volume files on " + name +
                   " are kept (--keep-partial); they cannot be restored");
  } else {
    session->Error("removed the " + std::to_string(removed) +
                   " partial volume file" + (removed == 1 ? "" : "s") +
                   " it wrote on " + name);
  }
  return false;
}

}  // namespace cli
}  // namespace kor
