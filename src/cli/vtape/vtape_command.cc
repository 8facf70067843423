// `korbr vtape`: the subcommands over os/tape/virtual_tape.h.
//
// Divisions: usage texts; argument parsing; one function per subcommand;
// the dispatcher.
#include "cli/vtape/vtape_command.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "cli/format/printable_text.h"
#include "cli/options/arg_parser.h"
#include "label/label_format.h"
#include "os/tape/simh_image.h"
#include "os/tape/tape_resolver.h"
#include "os/tape/virtual_tape.h"

namespace kor {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// --- Usage texts -------------------------------------------------------------

struct Subcommand {
  const char *name;
  const char *synopsis;
  const char *help;
};

constexpr Subcommand kSubcommands[] = {
    {"create",
     "create DRIVE --cartridges N --capacity SIZE [--stacker] "
     "[--min-block B] [--max-block B]",
     "Makes DRIVE (a new or empty directory) a virtual tape drive with N\n"
     "blank cartridges of SIZE bytes each (SIMH image bytes, framing\n"
     "included), numbered from 1.  The drive starts empty.  With --stacker\n"
     "unloading a cartridge loads the next one, as an autoloader does;\n"
     "otherwise the drive stays empty until a cartridge is loaded.  The\n"
     "drive accepts blocks of --min-block (default 1) to --max-block\n"
     "(default 16777215) bytes.\n"},
    {"status", "status DRIVE",
     "Shows the drive's settings, the loaded cartridge, and each\n"
     "cartridge's bytes in use and write protection.\n"},
    {"load", "load DRIVE N",
     "Puts cartridge N in the drive at its beginning, taking out any other.\n"},
    {"unload", "unload DRIVE",
     "Takes the cartridge out of the drive; the drive is then empty.\n"},
    {"protect", "protect DRIVE N on|off",
     "Sets or clears the write protection of cartridge N.\n"},
    {"dump", "dump DRIVE N",
     "Lists cartridge N record by record: each record's number and size,\n"
     "the tape marks, and the volume labels found at the front of records.\n"},
};

const char kDriveNote[] =
    "DRIVE is a drive directory, or a tape name \\\\.\\NAME looked up in the\n"
    "directory named by KOR_DEVICE_DIR (default /dev).  SIZE and B take an\n"
    "optional K, M or G suffix (powers of 1024).\n";

void PrintUsage(std::ostream &out) {
  out << "Usage: korbr vtape COMMAND ARGUMENTS\n\n";
  for (const Subcommand &sub : kSubcommands)
    out << "  korbr vtape " << sub.synopsis << "\n";
  out << "\n" << kDriveNote << "Each command takes --help.\n";
}

void PrintHelp(const Subcommand &sub, std::ostream &out) {
  out << "Usage: korbr vtape " << sub.synopsis << "\n\n"
      << sub.help << "\n"
      << kDriveNote;
}

// One line on the error stream; the result is the exit code to return.
int Fail(std::ostream &err, const std::string &why) {
  err << "korbr vtape: " << why << "\n";
  return kExitFailed;
}

int UsageError(const Subcommand &sub, std::ostream &err,
               const std::string &why) {
  err << "korbr vtape " << sub.name << ": " << why << " (Usage: korbr vtape "
      << sub.synopsis << ")\n";
  return kExitUsage;
}

// --- Argument parsing --------------------------------------------------------

using cli::ParseCount;

// A byte count as every korbr command reads one (K, M, G or KiB, MiB,
// GiB), in [low, high].
bool ParseSize(const std::string &text, uint64_t low, uint64_t high,
               uint64_t *value) {
  uint64_t n = 0;
  if (!cli::ParseByteSize(text, &n) || n < low || n > high) return false;
  *value = n;
  return true;
}

// The directory of a drive named on the command line.  `creating`: the
// drive need not exist yet.
bool DrivePath(const std::string &arg, bool creating, std::string *path,
               std::string *why) {
  if (IsTapeDevicePath(arg)) {
    const std::string dir = TapeDeviceDirectory();
    if (creating) {
      const std::string entry = arg.substr(4);
      if (entry.empty() || entry == "." || entry == ".." ||
          entry.find_first_of("/\\") != std::string::npos) {
        *why = "\"" + arg + "\" is not a drive name";
        return false;
      }
      *path = dir + "/" + entry;
      return true;
    }
    TapeTarget target;
    if (ResolveTapeName(arg, dir, &target) != 0) {
      *why = "no tape drive " + arg + " in " + dir;
      return false;
    }
    if (target.kind != TapeKind::kVirtualDrive) {
      *why = arg + " (" + target.path + ") is not a virtual tape drive";
      return false;
    }
    *path = target.path;
    return true;
  }
  if (arg.empty()) {
    *why = "the drive name is empty";
    return false;
  }
  *path = arg;
  if (!creating && !IsVirtualDrive(arg)) {
    *why = arg + " is not a virtual tape drive";
    return false;
  }
  return true;
}

// The options of a subcommand, read by the parser every korbr command
// uses: --help everywhere, and create's settings.
const cli::OptionSpec kHelpOption = {"help", 'h', false, false, nullptr,
                                     "this text"};
const std::vector<cli::OptionSpec> kCreateOptions = {
    kHelpOption,
    {"cartridges", 0, true, false, "N", "number of cartridges"},
    {"capacity", 0, true, false, "SIZE", "bytes per cartridge"},
    {"stacker", 0, false, false, nullptr, "autoloader mode"},
    {"min-block", 0, true, false, "B", "smallest block"},
    {"max-block", 0, true, false, "B", "largest block"},
};

std::vector<cli::OptionSpec> OptionsOf(const Subcommand &sub) {
  if (std::strcmp(sub.name, "create") == 0) return kCreateOptions;
  return {kHelpOption};
}

using Arguments = cli::ParsedArgs;

// --- Subcommands -------------------------------------------------------------

int Create(const Subcommand &sub, const Arguments &args, std::ostream &out,
           std::ostream &err) {
  if (args.operands().size() != 1)
    return UsageError(sub, err, "give exactly one DRIVE");
  VirtualDriveState state;
  bool have_cartridges = false, have_capacity = false;
  uint64_t n = 0;
  if (args.Has("cartridges")) {
    if (!ParseCount(args.Value("cartridges"), 1, kVtapeMaxCartridges, &n))
      return UsageError(
          sub, err,
          "--cartridges must be 1 to " + std::to_string(kVtapeMaxCartridges));
    state.cartridges = static_cast<uint32_t>(n);
    have_cartridges = true;
  }
  if (args.Has("capacity")) {
    // Room for at least one smallest record.
    const std::string value = args.Value("capacity");
    if (!ParseSize(value, simh::RecordFootprint(1), UINT64_MAX / 2, &n))
      return UsageError(sub, err, "bad --capacity \"" + value + "\"");
    state.capacity = n;
    have_capacity = true;
  }
  for (const char *name : {"min-block", "max-block"}) {
    if (!args.Has(name)) continue;
    if (!ParseSize(args.Value(name), 1, simh::kMaxRecordLength, &n))
      return UsageError(sub, err,
                        std::string("--") + name + " must be 1 to " +
                            std::to_string(simh::kMaxRecordLength));
    (std::strcmp(name, "min-block") == 0 ? state.min_block : state.max_block) =
        static_cast<uint32_t>(n);
  }
  state.stacker = args.Has("stacker");
  if (!have_cartridges) return UsageError(sub, err, "--cartridges is needed");
  if (!have_capacity) return UsageError(sub, err, "--capacity is needed");
  if (state.min_block > state.max_block)
    return UsageError(sub, err, "--min-block is above --max-block");
  std::string path, why;
  if (!DrivePath(args.operands()[0], true, &path, &why)) return Fail(err, why);
  if (!CreateVirtualDrive(path, state, &why)) return Fail(err, why);
  out << "created " << path << ": "
      << cli::Counted(state.cartridges, "cartridge")
      << " of " << cli::Counted(state.capacity, "byte") << ", "
      << (state.stacker ? "stacker" : "manual")
      << " mode, empty\n";
  return kExitOk;
}

int64_t FileBytes(const std::string &path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

int Status(const Subcommand &sub, const Arguments &args, std::ostream &out,
           std::ostream &err) {
  if (args.operands().size() != 1)
    return UsageError(sub, err, "give exactly one DRIVE");
  std::string path, why;
  if (!DrivePath(args.operands()[0], false, &path, &why)) return Fail(err, why);
  VirtualDriveState s;
  if (!ReadVirtualDrive(path, &s, &why)) return Fail(err, why);
  out << "drive " << path << "\n"
      << "mode: " << (s.stacker ? "stacker" : "manual") << "\n"
      << "cartridges: " << s.cartridges << "\n"
      << "capacity: " << s.capacity << " bytes per cartridge\n"
      << "block size: " << s.min_block << " to " << s.max_block << " bytes\n"
      << "loaded: ";
  if (s.loaded == 0) {
    out << "none\n";
  } else {
    out << s.loaded << "\n";
  }
  for (uint32_t c = 1; c <= s.cartridges; ++c) {
    const int64_t bytes = FileBytes(CartridgePath(path, c));
    out << "cartridge " << c << ": ";
    if (bytes < 0) {
      out << "image missing";
    } else {
      out << cli::Counted(static_cast<uint64_t>(bytes), "byte") << " used";
    }
    out << (s.IsProtected(c) ? ", write-protected" : ", writable")
        << (s.loaded == c ? ", in the drive" : "") << "\n";
  }
  return kExitOk;
}

// The operands of `load`, `protect` and `dump`: exactly `count` of them
// (`usage` names them otherwise), the second a cartridge number, read into
// *cartridge.  kExitOk, or the exit code of the usage error it reported.
int CartridgeOperands(const Subcommand &sub, const Arguments &args,
                      size_t count, const std::string &usage,
                      std::ostream &err, uint32_t *cartridge) {
  if (args.operands().size() != count) return UsageError(sub, err, usage);
  uint64_t n = 0;
  if (!ParseCount(args.operands()[1], 1, kVtapeMaxCartridges, &n))
    return UsageError(sub, err,
                      "bad cartridge number \"" + args.operands()[1] + "\"");
  *cartridge = static_cast<uint32_t>(n);
  return kExitOk;
}

// The DRIVE (resolved to its path) and cartridge operands of `load` and
// `dump`.  kExitOk, or the exit code of the error it reported.
int DriveAndCartridge(const Subcommand &sub, const Arguments &args,
                      std::ostream &err, std::string *path,
                      uint32_t *cartridge) {
  if (const int code = CartridgeOperands(
          sub, args, 2, "give DRIVE and a cartridge number", err, cartridge))
    return code;
  std::string why;
  if (!DrivePath(args.operands()[0], false, path, &why)) return Fail(err, why);
  return kExitOk;
}

int Load(const Subcommand &sub, const Arguments &args, std::ostream &out,
         std::ostream &err) {
  uint32_t cartridge = 0;
  std::string path, why;
  if (const int code = DriveAndCartridge(sub, args, err, &path, &cartridge))
    return code;
  if (!LoadCartridge(path, cartridge, &why)) return Fail(err, why);
  out << "loaded cartridge " << cartridge << " in " << path << "\n";
  return kExitOk;
}

int Unload(const Subcommand &sub, const Arguments &args, std::ostream &out,
           std::ostream &err) {
  if (args.operands().size() != 1)
    return UsageError(sub, err, "give exactly one DRIVE");
  std::string path, why;
  if (!DrivePath(args.operands()[0], false, &path, &why)) return Fail(err, why);
  if (!UnloadCartridge(path, &why)) return Fail(err, why);
  out << "unloaded " << path << "\n";
  return kExitOk;
}

int Protect(const Subcommand &sub, const Arguments &args, std::ostream &out,
            std::ostream &err) {
  uint32_t cartridge = 0;
  if (const int code = CartridgeOperands(
          sub, args, 3, "give DRIVE, a cartridge number and on or off", err,
          &cartridge))
    return code;
  const std::string &setting = args.operands()[2];
  if (setting != "on" && setting != "off")
    return UsageError(sub, err, "say on or off, not \"" + setting + "\"");
  std::string path, why;
  if (!DrivePath(args.operands()[0], false, &path, &why)) return Fail(err, why);
  if (!SetWriteProtect(path, cartridge, setting == "on", &why))
    return Fail(err, why);
  out << "cartridge " << cartridge << " of " << path
      << (setting == "on" ? " is write-protected\n" : " is writable\n");
  return kExitOk;
}

bool HasId(const uint8_t *head, size_t size, size_t at, const char *id) {
  return size >= at + 4 && std::memcmp(head + at, id, 4) == 0;
}

// What a record's front says when it carries volume labels, else "".
std::string DescribeLabels(const uint8_t *head, size_t size) {
  if (size >= static_cast<size_t>(kLabelSize) && HasId(head, size, 0, "VOL1")) {
    int32_t stripe = 0, volume = 0;
    ParseVolumeSerial(reinterpret_cast<const char *>(head), &stripe, &volume);
    std::string serial;
    for (size_t i = 4; i < 10; ++i) {
      const char c = static_cast<char>(head[i]);
      serial += (c >= 0x20 && c < 0x7f) ? c : '?';
    }
    return "VOL1 serial " + serial + ": stripe " + std::to_string(stripe) +
           ", volume " + std::to_string(volume);
  }
  if (size >= static_cast<size_t>(kHdr1Size) && HasId(head, size, 0, "HDR1"))
    return "HDR1";
  if (size >= static_cast<size_t>(kLabelSize) && HasId(head, size, 0, "HDR2"))
    return "HDR2";
  for (const char *first : {"EOV1", "EOF1"}) {
    if (size < static_cast<size_t>(kLabelSize) || !HasId(head, size, 0, first))
      continue;
    std::string text = first;
    const char *second = first[2] == 'V' ? "EOV2" : "EOF2";
    if (HasId(head, size, static_cast<size_t>(kLabelSize), second))
      text += std::string(" ") + second;
    return text;
  }
  return "";
}

int Dump(const Subcommand &sub, const Arguments &args, std::ostream &out,
         std::ostream &err) {
  uint32_t cartridge = 0;
  std::string path, why;
  if (const int code = DriveAndCartridge(sub, args, err, &path, &cartridge))
    return code;
  VirtualDriveState s;
  if (!ReadVirtualDrive(path, &s, &why)) return Fail(err, why);
  if (cartridge > s.cartridges)
    return Fail(err, "no cartridge " + std::to_string(cartridge) +
                         " (the drive has " + std::to_string(s.cartridges) +
                         ")");
  const std::string image = CartridgePath(path, cartridge);
  out << "cartridge " << cartridge << " of " << path << ": " << FileBytes(image)
      << " bytes\n";
  uint64_t records = 0, marks = 0;
  bool end_of_medium = false;
  const bool ok = ScanCartridgeImage(
      image, static_cast<size_t>(kTrailerSize),
      [&](const simh::Object &object, const uint8_t *head, size_t size) {
        switch (object.kind) {
          case simh::Object::kTapeMark:
            ++marks;
            out << "tape mark\n";
            break;
          case simh::Object::kEndOfMedium:
            end_of_medium = true;
            out << "end of medium\n";
            break;
          case simh::Object::kRecord: {
            ++records;
            out << "record " << records << ": "
                << cli::Counted(object.length, "byte");
            const std::string labels = DescribeLabels(head, size);
            if (!labels.empty()) out << "  " << labels;
            out << "\n";
            break;
          }
        }
      },
      &why);
  if (!ok) return Fail(err, image + ": " + why);
  out << (end_of_medium ? "end of medium: " : "end of data: ")
      << cli::Counted(records, "record") << ", "
      << cli::Counted(marks, "tape mark")
      << "\n";
  return kExitOk;
}

using Handler = int (*)(const Subcommand &, const Arguments &, std::ostream &,
                        std::ostream &);

Handler HandlerOf(const std::string &name) {
  if (name == "create") return &Create;
  if (name == "status") return &Status;
  if (name == "load") return &Load;
  if (name == "unload") return &Unload;
  if (name == "protect") return &Protect;
  if (name == "dump") return &Dump;
  return nullptr;
}

}  // namespace

int RunVtapeCommand(int argc, char **argv, std::ostream &out,
                    std::ostream &err) {
  if (argc < 2) {
    PrintUsage(err);
    return kExitUsage;
  }
  const std::string name = argv[1];
  if (name == "--help" || name == "-h" || name == "help") {
    PrintUsage(out);
    return kExitOk;
  }
  const Subcommand *sub = nullptr;
  for (const Subcommand &candidate : kSubcommands) {
    if (name == candidate.name) sub = &candidate;
  }
  if (sub == nullptr) {
    err << "korbr vtape: unknown command \"" << name
        << "\" (try korbr vtape --help)\n";
    return kExitUsage;
  }
  Arguments args;
  std::string why;
  if (!cli::ParseArgs(OptionsOf(*sub), argc - 2, argv + 2, &args, &why))
    return UsageError(*sub, err, why);
  if (args.Has("help")) {
    PrintHelp(*sub, out);
    return kExitOk;
  }
  return HandlerOf(name)(*sub, args, out, err);
}

int RunVtapeCommand(int argc, char **argv) {
  return RunVtapeCommand(argc, argv, std::cout, std::cerr);
}

}  // namespace kor
