// korbr list.
#include "cli/commands/list_command.h"

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "cli/commands/command_common.h"
#include "cli/format/backup_sets.h"
#include "cli/format/json_writer.h"
#include "cli/format/printable_text.h"
#include "cli/objects/object_probe.h"
#include "cli/options/arg_parser.h"

namespace kor {
namespace cli {
namespace {

// A backup that replaces a set writes under PREFIX.staging-PID; one that
// was killed leaves them.  The process id, or "" for an ordinary set name.
std::string StagingProcess(const std::string &name) {
  const std::string mark = ".staging-";
  const size_t at = name.rfind(mark);
  if (at == std::string::npos) return "";
  std::string pid;
  for (size_t i = at + mark.size(); i < name.size(); ++i) {
    if (name[i] == '{') break;  // a {stripe} placeholder may follow
    if (name[i] < '0' || name[i] > '9') return "";
    pid += name[i];
  }
  return pid;
}

const std::vector<OptionSpec> &ListOptions() {
  static const std::vector<OptionSpec> specs = {
      {"json", 0, false, false, nullptr,
       "one JSON document on standard output instead of the table"},
      {"help", 'h', false, false, nullptr, "show this help and exit"},
  };
  return specs;
}

void PrintListHelp() {
  std::printf(
      "Usage: korbr list [--json] DIR|PREFIX|s3://BUCKET/PREFIX\n"
      "\n"
      "Lists the backup sets whose disk volume files lie in DIR, or whose\n"
      "stripe prefixes begin with PREFIX (such as /backups/sales, or the\n"
      "--device name /backups/sales.s{stripe}), or whose volume objects'\n"
      "keys begin with PREFIX in BUCKET (s3://BUCKET/ for all of it; the\n"
      "store is reached as backup reaches it, through the AWS_* variables).\n"
      "Only the volume labels and the stream header and trailer are read\n"
      "(ranged reads on object storage), never the data.  For each\n"
      "set: its prefix, stripes, volumes per stripe, bytes stored (the\n"
      "volume files) and backed up (the input), when it was made (UTC),\n"
      "stream format, compression, encryption, and whether it is complete\n"
      "(every stripe there with all its volumes and a trailer that agrees)\n"
      "or why not.  Files that are not volumes are named and skipped.\n"
      "\n"
      "Options:\n%s"
      "\n"
      "Exit status: 0 listed (complete or not), 1 the place cannot be\n"
      "read, 2 usage error.\n",
      OptionsHelp(ListOptions()).c_str());
}

std::string IsoTime(uint64_t seconds) {
  const time_t t = static_cast<time_t>(seconds);
  struct tm parts;
  char text[32];
  if (gmtime_r(&t, &parts) == nullptr ||
      std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts) == 0) {
    return "?";
  }
  return text;
}

const char *CompressionName(Compression c) {
  return c == Compression::kZstd ? "zstd" : "none";
}

// No stream format korbr writes yet encrypts; the column is kept so that
// one that does can say so.
const char *EncryptionName(const StreamHeader &h) {
  switch (h.encryption) {
    case Encryption::kRecipients:
      return "x25519";
    case Encryption::kPassphrase:
      return "passphrase";
    default:
      return "none";
  }
}

std::string VolumesPerStripe(const FoundSet &set) {
  std::string text;
  for (const StripeFiles &s : set.stripes) {
    text += (text.empty() ? "" : ",") + std::to_string(s.volumes.size());
  }
  return text.empty() ? "0" : text;
}

std::vector<std::string> Leftovers(const FoundSet &set) {
  std::vector<std::string> all;
  for (const StripeFiles &s : set.stripes) {
    all.insert(all.end(), s.leftovers.begin(), s.leftovers.end());
  }
  return all;
}

void PrintTable(const SetScan &scan) {
  std::vector<std::vector<std::string>> rows = {
      {"SET", "STRIPES", "VOLUMES", "STORED", "INPUT", "CREATED", "FORMAT",
       "COMPRESSION", "ENCRYPTION", "STATE"}};
  for (const FoundSet &set : scan.sets) {
    const bool known = set.have_header;
    rows.push_back(
        {PrintableText(set.name),
         known ? std::to_string(set.header.stripe_count) : "?",
         VolumesPerStripe(set), std::to_string(set.stored_bytes),
         set.have_input_bytes ? std::to_string(set.input_bytes) : "?",
         known ? IsoTime(set.header.created) : "?",
         known ? std::to_string(set.header.version) : "?",
         known ? CompressionName(set.header.compression) : "?",
         known ? EncryptionName(set.header) : "?",
         set.complete ? "complete" : "incomplete"});
  }
  std::vector<size_t> width(rows.front().size(), 0);
  for (const auto &row : rows) {
    for (size_t c = 0; c < row.size(); ++c) {
      width[c] = std::max(width[c], row[c].size());
    }
  }
  for (const auto &row : rows) {
    std::string line;
    for (size_t c = 0; c < row.size(); ++c) {
      line += row[c];
      if (c + 1 < row.size()) line += std::string(width[c] - row[c].size() + 2, ' ');
    }
    std::printf("%s\n", line.c_str());
  }
  for (const FoundSet &set : scan.sets) {
    const std::string staged_by = StagingProcess(set.name);
    if (!staged_by.empty()) {
      std::printf("%s: staged volumes of a backup (process %s) that did not "
                  "finish; the next backup onto the same prefixes removes "
                  "them\n",
                  PrintableText(set.name).c_str(), staged_by.c_str());
    }
    for (const std::string &fault : set.faults) {
      std::printf("%s: incomplete: %s\n", PrintableText(set.name).c_str(),
                  PrintableText(fault).c_str());
    }
    const std::vector<std::string> left = Leftovers(set);
    if (!left.empty()) {
      std::printf("%s: %zu volume file%s of an older backup after the last "
                  "volume, not part of this set (%s%s)\n",
                  PrintableText(set.name).c_str(), left.size(),
                  left.size() == 1 ? "" : "s",
                  PrintableText(left.front()).c_str(),
                  left.size() > 1 ? " ..." : "");
    }
  }
}

void WriteStrings(JsonWriter *w, const std::vector<std::string> &texts) {
  w->BeginArray();
  for (const std::string &t : texts) w->String(t);
  w->EndArray();
}

void PrintJson(const std::string &where, const SetScan &scan) {
  JsonWriter w;
  w.BeginObject();
  w.Key("where");
  w.String(where);
  w.Key("sets");
  w.BeginArray();
  for (const FoundSet &set : scan.sets) {
    const bool known = set.have_header;
    w.BeginObject();
    w.Key("name");
    w.String(set.name);
    w.Key("backup_id");
    known ? w.String(BackupIdHex(set.header.backup_id)) : w.Null();
    w.Key("database");
    known ? w.String(set.header.dbname) : w.Null();
    w.Key("stripes");
    known ? w.Number(uint64_t{set.header.stripe_count}) : w.Null();
    w.Key("stripe_prefixes");
    std::vector<std::string> prefixes;
    std::vector<uint64_t> volumes;
    for (const StripeFiles &s : set.stripes) prefixes.push_back(s.prefix);
    WriteStrings(&w, prefixes);
    w.Key("volumes_per_stripe");
    w.BeginArray();
    for (const StripeFiles &s : set.stripes) w.Number(uint64_t{s.volumes.size()});
    w.EndArray();
    w.Key("stored_bytes");
    w.Number(set.stored_bytes);
    w.Key("input_bytes");
    set.have_input_bytes ? w.Number(set.input_bytes) : w.Null();
    w.Key("created");
    known ? w.String(IsoTime(set.header.created)) : w.Null();
    w.Key("format");
    known ? w.Number(uint64_t{set.header.version}) : w.Null();
    w.Key("compression");
    known ? w.String(CompressionName(set.header.compression)) : w.Null();
    w.Key("encryption");
    known ? w.String(EncryptionName(set.header)) : w.Null();
    w.Key("complete");
    w.Bool(set.complete);
    w.Key("faults");
    WriteStrings(&w, set.faults);
    w.Key("leftovers");
    WriteStrings(&w, Leftovers(set));
    w.EndObject();
  }
  w.EndArray();
  w.Key("ignored");
  WriteStrings(&w, scan.ignored);
  w.EndObject();
  std::printf("%s\n", w.text().c_str());
}

// The sets whose volume objects lie under the prefix `where`
// (s3://BUCKET/PREFIX, perhaps with "{stripe}" as --device writes it).
// Only the labels, header and trailer of each are fetched, by ranged
// reads.  False with *error when the store cannot be listed or a volume
// cannot be read.
bool ScanObjectSets(const std::string &where, SetScan *scan,
                    std::string *error) {
  std::vector<ListedObject> objects;
  if (!ListObjects(where.substr(0, where.find("{stripe}")), &objects, error))
    return false;
  std::vector<FoundVolume> found;
  for (const ListedObject &object : objects)
    found.push_back({object.url, object.size});
  std::string read_error;
  ScanVolumes(
      found,
      [&read_error](const std::string &url, uint64_t offset, uint8_t *buffer,
                    size_t length) {
        std::string why;
        if (ReadObjectRange(url, offset, buffer, length, &why)) return true;
        if (read_error.empty()) read_error = why;
        return false;
      },
      scan);
  // A volume the store would not hand over is not judged by what it lacks.
  if (!read_error.empty()) *error = read_error;
  return read_error.empty();
}

}  // namespace

int RunListCommand(int argc, char **argv) {
  const std::string command = "list";
  ParsedArgs args;
  if (const int code = ReadCommandArgs(command, ListOptions(), argc, argv,
                                       PrintListHelp, &args);
      code >= 0)
    return code;
  if (args.operands().size() != 1) {
    return UsageError(command, "give one DIR or PREFIX");
  }
  const std::string where = args.operands().front();
  SetScan scan;
  std::string error;
  const bool scanned = where.compare(0, 5, "s3://") == 0
                           ? ScanObjectSets(where, &scan, &error)
                           : ScanBackupSets(where, &scan, &error);
  if (!scanned) {
    std::fprintf(stderr, "korbr list: %s\n", PrintableText(error).c_str());
    return kExitFailure;
  }
  for (const std::string &ignored : scan.ignored) {
    std::fprintf(stderr, "korbr list: ignored %s\n",
                 PrintableText(ignored).c_str());
  }
  if (args.Has("json")) {
    PrintJson(where, scan);
  } else if (scan.sets.empty()) {
    std::printf("no backup sets in %s\n", PrintableText(where).c_str());
  } else {
    PrintTable(scan);
  }
  return kExitSuccess;
}

}  // namespace cli
}  // namespace kor
