// The error-class table: 122 Win32 codes with a class of their own, kept
// sorted by code and searched by bisection.  Every other code, and every
// code above the last Windows Sockets code 10071, takes the default class.
#include "device/win32_error_map.h"

#include <algorithm>
#include <cstddef>
#include <iterator>

namespace kor {
namespace {

struct CodeClass {
  uint32_t code;
  int32_t error_class;
};

constexpr CodeClass kTable[] = {
    {1, 38},      // ERROR_INVALID_FUNCTION
    {2, 1},       // ERROR_FILE_NOT_FOUND
    {3, 1},       // ERROR_PATH_NOT_FOUND
    {4, 11},      // ERROR_TOO_MANY_OPEN_FILES
    {5, 6},       // ERROR_ACCESS_DENIED
    {6, kClassInvalidHandle},  // ERROR_INVALID_HANDLE
    {8, 5},       // ERROR_NOT_ENOUGH_MEMORY
    {9, 34},      // ERROR_INVALID_BLOCK
    {12, 9},      // ERROR_INVALID_ACCESS
    {13, 9},      // ERROR_INVALID_DATA
    {14, 5},      // ERROR_OUTOFMEMORY
    {19, 9},      // ERROR_WRITE_PROTECT
    {24, 9},      // ERROR_BAD_LENGTH
    {25, 31},     // ERROR_SEEK
    {29, 27},     // ERROR_WRITE_FAULT
    {30, 27},     // ERROR_READ_FAULT
    {31, 27},     // ERROR_GEN_FAILURE
    {32, 33},     // ERROR_SHARING_VIOLATION
    {33, 33},     // ERROR_LOCK_VIOLATION
    {36, 10},     // ERROR_SHARING_BUFFER_EXCEEDED
    {80, 7},      // ERROR_FILE_EXISTS
    {85, 19},     // ERROR_ALREADY_ASSIGNED
    {86, 28},     // ERROR_INVALID_PASSWORD
    {87, 9},      // ERROR_INVALID_PARAMETER
    {107, 21},    // ERROR_DISK_CHANGE
    {108, 19},    // ERROR_DRIVE_LOCKED
    {109, 29},    // ERROR_BROKEN_PIPE
    {110, 21},    // ERROR_OPEN_FAILED
    {111, 5},     // ERROR_BUFFER_OVERFLOW
    {112, kClassDiskFull},  // ERROR_DISK_FULL
    {113, 21},    // ERROR_NO_MORE_SEARCH_HANDLES
    {114, 21},    // ERROR_INVALID_TARGET_HANDLE
    {119, 27},    // ERROR_INVALID_CATEGORY
    {122, 5},     // ERROR_INSUFFICIENT_BUFFER
    {123, 1},     // ERROR_INVALID_NAME
    {128, 17},    // ERROR_WAIT_NO_CHILDREN
    {131, 31},    // ERROR_NEGATIVE_SEEK
    {132, 31},    // ERROR_SEEK_ON_DEVICE
    {142, 19},    // ERROR_BUSY_DRIVE
    {148, 19},    // ERROR_PATH_BUSY
    {161, 1},     // ERROR_BAD_PATHNAME
    {170, 19},    // ERROR_BUSY
    {183, 7},     // ERROR_ALREADY_EXISTS
    {191, 3},     // ERROR_INVALID_EXE_SIGNATURE
    {192, 3},     // ERROR_EXE_MARKED_INVALID
    {193, 3},     // ERROR_BAD_EXE_FORMAT
    {203, 9},     // ERROR_ENVVAR_NOT_FOUND
    {206, 35},    // ERROR_FILENAME_EXCED_RANGE
    {208, 2},     // ERROR_META_EXPANSION_TOO_LONG
    {209, 9},     // ERROR_INVALID_SIGNAL_NUMBER
    {212, 19},    // ERROR_LOCKED
    {214, 11},    // ERROR_TOO_MANY_MODULES
    {230, 29},    // ERROR_BAD_PIPE
    {231, 19},    // ERROR_PIPE_BUSY
    {232, 29},    // ERROR_NO_DATA
    {233, 29},    // ERROR_PIPE_NOT_CONNECTED
    {234, 29},    // ERROR_MORE_DATA
    {267, 1},     // ERROR_DIRECTORY
    {487, 34},    // ERROR_INVALID_ADDRESS
    {534, 14},    // ERROR_ARITHMETIC_OVERFLOW
    {535, 29},    // ERROR_PIPE_CONNECTED
    {536, 29},    // ERROR_PIPE_LISTENING
    {995, kClassInterrupted},  // ERROR_OPERATION_ABORTED
    {996, kClassInterrupted},  // ERROR_IO_INCOMPLETE
    {998, 34},    // ERROR_NOACCESS
    {999, 1},     // ERROR_SWAPERROR
    {1001, 5},    // ERROR_STACK_OVERFLOW
    {1004, 9},    // ERROR_INVALID_FLAGS
    {1005, 36},   // ERROR_UNRECOGNIZED_VOLUME
    {1006, 36},   // ERROR_FILE_INVALID
    {1117, 21},   // ERROR_IO_DEVICE
    {1200, 36},   // ERROR_BAD_DEVICE
    {1307, 9},    // ERROR_INVALID_OWNER
    {1308, 9},    // ERROR_INVALID_PRIMARY_GROUP
    {1313, 6},    // ERROR_NO_SUCH_PRIVILEGE
    {1314, 6},    // ERROR_PRIVILEGE_NOT_HELD
    {1326, 6},    // ERROR_LOGON_FAILURE
    {1327, 6},    // ERROR_ACCOUNT_RESTRICTION
    {1328, 6},    // ERROR_INVALID_LOGON_HOURS
    {1329, 6},    // ERROR_INVALID_WORKSTATION
    {1330, 6},    // ERROR_PASSWORD_EXPIRED
    {1331, 6},    // ERROR_ACCOUNT_DISABLED
    {1332, 9},    // ERROR_NONE_MAPPED
    {1785, 27},   // ERROR_UNRECOGNIZED_MEDIA
    {2202, 9},    // ERROR_BAD_USERNAME
    {2404, 19},   // ERROR_DEVICE_IN_USE
    // Windows Sockets codes keep their own number as class; 10060
    // (WSAETIMEDOUT) is not among them.
    {10035, 10035}, {10036, 10036}, {10037, 10037}, {10038, 10038},
    {10039, 10039}, {10040, 10040}, {10041, 10041}, {10042, 10042},
    {10043, 10043}, {10044, 10044}, {10045, 10045}, {10046, 10046},
    {10047, 10047}, {10048, 10048}, {10049, 10049}, {10050, 10050},
    {10051, 10051}, {10052, 10052}, {10053, 10053}, {10054, 10054},
    {10055, 10055}, {10056, 10056}, {10057, 10057}, {10058, 10058},
    {10059, 10059}, {10061, 10061}, {10062, 10062}, {10063, 10063},
    {10064, 10064}, {10065, 10065}, {10066, 10066}, {10067, 10067},
    {10068, 10068}, {10069, 10069}, {10070, 10070}, {10071, 10071},
};

constexpr uint32_t kLastTableCode = 10071;

constexpr bool SortedByCode() {
  for (size_t i = 1; i < std::size(kTable); ++i) {
    if (kTable[i - 1].code >= kTable[i].code) return false;
  }
  return true;
}

static_assert(std::size(kTable) == 122, "the table has 122 codes");
static_assert(SortedByCode(), "the table must be sorted for the search");
static_assert(kTable[std::size(kTable) - 1].code == kLastTableCode,
              "codes above the last table code take the default class");

thread_local int32_t t_error_class = 0;

}  // namespace

int32_t ErrorClassOf(uint32_t code) {
  if (code == 0 || code > kLastTableCode) return kClassDefault;
  const CodeClass *end = std::end(kTable);
  const CodeClass *found = std::lower_bound(
      std::begin(kTable), end, code,
      [](const CodeClass &entry, uint32_t c) { return entry.code < c; });
  if (found == end || found->code != code) return kClassDefault;
  return found->error_class;
}

int32_t MapWin32Error(uint32_t code) {
  t_error_class = ErrorClassOf(code);
  return -1;
}

int32_t ThreadErrorClass() { return t_error_class; }

}  // namespace kor
