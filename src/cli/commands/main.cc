// korbr: the command-line host of libkorbr.
//
//   korbr backup  --device DEVSTRING [--stripes N] [--request-size BYTES]
//                 [--dbname NAME] [INPUT|-]
//   korbr restore --device DEVSTRING [--stripes N] [OUTPUT|-]
//   korbr verify  --device DEVSTRING [--stripes N]
//   korbr labels  VOLUME... | SET
//   korbr list    DIR|PREFIX [--json]
//   korbr --version
//   korbr digest  [--request-size N] FILE|-
//
// Each command is one entry of the table below and lives in its own file.
#include <sys/types.h>

#include <cstdio>
#include <cstring>

#include "cli/commands/backup_command.h"
#include "cli/commands/command_common.h"
#include "cli/commands/digest_command.h"
#include "cli/commands/labels_command.h"
#include "cli/commands/list_command.h"
#include "cli/commands/restore_command.h"
#include "cli/commands/version_info.h"
#include "cli/vtape/vtape_command.h"

// Inputs, outputs and volumes pass 2 and 4 GiB; every file of korbr is
// built with the same flags (CMakeLists.txt sets _FILE_OFFSET_BITS=64).
static_assert(sizeof(off_t) == 8, "build with _FILE_OFFSET_BITS=64");

namespace {

struct Command {
  const char *name;
  int (*run)(int argc, char **argv);  // argv[0] is the command name
  const char *summary;
};

const Command kCommands[] = {
    {"backup", kor::cli::RunBackupCommand,
     "back up a file or standard input onto archive devices"},
    {"restore", kor::cli::RunRestoreCommand,
     "restore a backup to a file or standard output, verified"},
    {"verify", kor::cli::RunVerifyCommand,
     "check that a backup would restore, writing nothing"},
    {"labels", kor::cli::RunLabelsCommand,
     "show the labels and layout of disk volume files or a whole set"},
    {"list", kor::cli::RunListCommand,
     "list the backup sets in a directory or under a prefix"},
    {"digest", kor::cli::RunDigestCommand,
     "print the content seal of a file, to match it against a backup"},
    {"vtape", kor::RunVtapeCommand,
     "manage virtual tape drives and their cartridges"},
};

void PrintHelp(FILE *out) {
  std::fprintf(out,
               "Usage: korbr COMMAND [OPTIONS] [ARGUMENTS]\n"
               "\n"
               "The command-line host of libkorbr: backs up data streams onto\n"
               "striped archive devices (disk volume files or tapes) and\n"
               "restores them.\n"
               "\n"
               "Commands:\n");
  for (const Command &c : kCommands) {
    std::fprintf(out, "  %-9s %s\n", c.name, c.summary);
  }
  std::fprintf(out,
               "\n"
               "'korbr COMMAND --help' describes a command and its options;\n"
               "'korbr --version' (-V) names the version, the stream formats\n"
               "and the libraries.\n"
               "Exit status: 0 success, 1 failure, 2 usage error.\n");
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    PrintHelp(stderr);
    return kor::cli::kExitUsage;
  }
  const char *name = argv[1];
  if (std::strcmp(name, "--help") == 0 || std::strcmp(name, "-h") == 0 ||
      std::strcmp(name, "help") == 0) {
    PrintHelp(stdout);
    return kor::cli::kExitSuccess;
  }
  if (std::strcmp(name, "--version") == 0 || std::strcmp(name, "-V") == 0) {
    std::fputs(kor::cli::VersionText().c_str(), stdout);
    return kor::cli::kExitSuccess;
  }
  for (const Command &c : kCommands) {
    if (std::strcmp(name, c.name) == 0) return c.run(argc - 1, argv + 1);
  }
  std::fprintf(stderr, "korbr: unknown command '%s'\nTry 'korbr --help'.\n",
               name);
  return kor::cli::kExitUsage;
}
