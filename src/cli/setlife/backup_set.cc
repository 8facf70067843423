// A backup's set from start to end.
#include "cli/setlife/backup_set.h"

#include <strings.h>

#include "cli/objects/object_probe.h"
#include "cli/options/device_list.h"
#include "cli/session/interrupts.h"
#include "cli/setlife/object_cleanup.h"

namespace kor {
namespace cli {
namespace {

std::string Objects(size_t n) {
  return std::to_string(n) + " volume object" + (n == 1 ? "" : "s");
}

}  // namespace

bool BackupSet::Begin(const std::vector<std::string> &devices,
                      bool keep_partial, bool replace,
                      std::vector<std::string> *write_devices,
                      std::string *error) {
  if (!lock_.Acquire(devices, "backup", true, error)) return false;
  object_prefixes_.clear();
  objects_replaced_ = false;
  for (const std::string &device : devices) {
    const std::string devname = DevnameOf(device);
    if (strncasecmp(devname.c_str(), "s3://", 5) != 0) continue;
    object_prefixes_.push_back(devname);
    std::string why;
    if (objects_replaced_ || ObjectExists(devname + ".1", Interrupted, &why) != 1) continue;
    if (!replace) {
      *error = devname + " holds a backup already (" + devname +
               ".1): objects cannot be renamed, so a new backup would write "
               "over it in place and a failure would lose both; back up "
               "to a new prefix, or give --replace to write over it";
      return false;
    }
    objects_replaced_ = true;
  }
  if (!staging_.Prepare(devices, write_devices, error)) return false;
  if (!keep_partial) SetPartialVolumePrefixes(staging_.write_prefixes());
  return true;
}

void BackupSet::EndObjects(bool whole, bool keep_partial,
                           HostSession *session) {
  const std::string where = object_prefixes_.front() +
                            (object_prefixes_.size() > 1 ? " (and more)" : "");
  if (whole && objects_replaced_) {
    std::string error;
    const size_t removed = RemoveObjectsPastLastVolume(object_prefixes_, &error);
    if (!error.empty()) session->Error(error);
    session->Note(
        "replaced the previous backup on " + where + " in place" +
        (removed > 0 ? "; removed its " + Objects(removed) +
                           " past this backup's last volume"
                     : "") +
        (error.empty() ? "" : "; objects of it past this backup's last "
                              "volume may remain"));
  } else if (!whole && objects_replaced_) {
    session->Error("the previous backup on " + where +
                   " was written over in place (--replace) and is lost");
  } else if (!whole && keep_partial) {
    session->Error("the partial volume objects on " + where +
                   " are kept (--keep-partial); they cannot be restored");
  } else if (!whole) {
    // The prefixes held no backup when this one began, and the set lock
    // kept other runs off them: every volume object there is its own.
    std::string error;
    const size_t removed = RemoveVolumeObjects(object_prefixes_, &error);
    if (!error.empty()) {
      session->Error(error);
      session->Error(
          (removed > 0 ? "removed " + Objects(removed) + "; any other"
                       : "any") +
          " volume objects this backup completed on " + where +
          " remain and cannot be restored: remove them with an S3 client");
    } else if (removed > 0) {
      session->Error("removed the " + Objects(removed) + " it completed on " +
                     where);
    }
  }
}

bool BackupSet::End(bool whole, bool keep_partial, HostSession *session) {
  // A whole backup's volumes are kept from here on; a failed one's stay
  // registered while they are removed, should a second signal cut that
  // short.
  if (whole) ClearPartialVolumePrefixes();
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
  if (!object_prefixes_.empty()) EndObjects(whole, keep_partial, session);
  const std::string name = staging_.SetName();
  if (name.empty()) return whole;  // tapes and object storage
  if (whole) {
    // Once the renames begin, the set must not be left half replaced by a
    // signal: it waits until they are done.
    HoldInterruptsInThisThread();
    std::string error;
    bool begun = false;
    const bool placed = staging_.Commit(&begun, &error);
    LetInterruptsThroughInThisThread();
    if (!placed) {
      session->Error(error);
      session->Error(
          begun ? "the backup is whole but only partly in place on " + name +
                      ": the next backup, restore or verify of it finishes "
                      "putting it in place"
                : "the previous backup on " + name +
                      " is untouched: this one could not be put in place");
      return false;
    }
    if (staging_.replacing()) {
      session->Note("replaced the previous backup on " + name);
    }
    return true;
  }
  const size_t written = staging_.VolumesWritten();
  const size_t removed = staging_.Discard(keep_partial);
  if (written == 0 && !staging_.replacing()) return false;  // nothing to say
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
