// Removing a backup's volume objects.
#include "cli/setlife/object_cleanup.h"

#include "cli/format/backup_sets.h"
#include "cli/objects/object_probe.h"

namespace kor {
namespace cli {
namespace {

// The volume objects PREFIX.N of the object prefix `prefix`.
bool VolumeObjectsOf(const std::string &prefix, std::vector<FoundVolume> *found,
                     std::string *error) {
  std::vector<ListedObject> objects;
  if (!ListObjects(prefix + ".", &objects, error)) return false;
  for (const ListedObject &object : objects) {
    std::string name;
    int number = 0;
    if (SplitVolumeName(object.url, &name, &number) && name == prefix)
      found->push_back({object.url, object.size});
  }
  return true;
}

// Removes `urls`; how many went.  *error keeps the first failure.
size_t RemoveObjects(const std::vector<std::string> &urls, std::string *error) {
  size_t removed = 0;
  for (const std::string &url : urls) {
    std::string why;
    if (DeleteObject(url, &why)) {
      ++removed;
    } else if (error->empty()) {
      *error = why;
    }
  }
  return removed;
}

}  // namespace

size_t RemoveVolumeObjects(const std::vector<std::string> &prefixes,
                           std::string *error) {
  std::vector<std::string> urls;
  for (const std::string &prefix : prefixes) {
    std::vector<FoundVolume> found;
    std::string why;
    if (!VolumeObjectsOf(prefix, &found, &why)) {
      if (error->empty()) *error = why;
      continue;
    }
    for (const FoundVolume &f : found) urls.push_back(f.path);
  }
  return RemoveObjects(urls, error);
}

size_t RemoveObjectsPastLastVolume(const std::vector<std::string> &prefixes,
                                   std::string *error) {
  const VolumeReader read = [](const std::string &url, uint64_t offset,
                               uint8_t *buffer, size_t length) {
    std::string why;
    return ReadObjectRange(url, offset, buffer, length, &why);
  };
  std::vector<std::string> urls;
  for (const std::string &prefix : prefixes) {
    std::vector<FoundVolume> found;
    std::string why;
    if (!VolumeObjectsOf(prefix, &found, &why)) {
      if (error->empty()) *error = why;
      continue;
    }
    const StripeFiles stripe = ReadStripeVolumes(prefix, found, read);
    if (!stripe.have_trailer) {
      if (error->empty())
        *error = "cannot tell where the new backup on " + prefix + " ends";
      continue;
    }
    urls.insert(urls.end(), stripe.leftovers.begin(), stripe.leftovers.end());
  }
  return RemoveObjects(urls, error);
}

}  // namespace cli
}  // namespace kor
