/*
 * ordinal_host: a plain C Windows host that loads korbr.dll at run time
 * and finds its nine functions by ordinal, as a host built against the
 * ordinals alone would, then backs up and restores on disk stripes with
 * Windows names.
 *
 *   ordinal_host [DIRECTORY]
 *
 * DIRECTORY (default: a fresh one under the temporary directory) holds the
 * volume files; files left there by an earlier run are removed first.
 *
 * Strategy: the open-parameters record is built as raw bytes at the
 * offsets a 32-bit host uses (database name at 72, the device string of
 * stripe s at 172 + 4 * s; 176 + 8 * s in a 64-bit build), so a library
 * that reads any other offset fails the round trips.  The format-string
 * callback records each error's number and text arguments, and the
 * failures are checked by number and arguments: the system's text in them
 * is compared with FormatMessageA's own.  Prints "N passed, M failed";
 * exit status 1 when any check failed.
 */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "korbr/korbr.h"

/* The host's view of the records on 32-bit Windows, checked while this
 * host is compiled: a header that disagreed would not build. */
#if defined(_WIN32) && !defined(_WIN64)
_Static_assert(sizeof(void *) == 4, "a 32-bit build");
_Static_assert(offsetof(OpenParams, dbname) == 72, "database name at 72");
_Static_assert(offsetof(OpenParams, archdev) == 172,
               "device string of stripe 0 at 172");
_Static_assert(offsetof(OpenParams, archdev[31]) == 172 + 4 * 31,
               "device string of stripe s at 172 + 4 * s");
_Static_assert(sizeof(OpenParams) == 172 + 4 * 32, "32 device strings");
_Static_assert(sizeof(KorMessageArg) == 4, "32-bit message-argument slots");
_Static_assert(sizeof(ApiInfo) == 38, "ApiInfo is 38 bytes");
_Static_assert(sizeof(MessageBuffer) == 4 + 1024, "MessageBuffer");
_Static_assert(sizeof(InfoRecord) == 28, "InfoRecord is 28 bytes");
#define DEVICE_STRING_OFFSET(s) (172 + 4 * (s))
#else
#define DEVICE_STRING_OFFSET(s) (176 + 8 * (s))
#endif
#define DBNAME_OFFSET 72
#define PARAMS_SIZE DEVICE_STRING_OFFSET(32)

typedef void *(KOR_CALL *open_fn)(int32_t, const void *, int32_t,
                                  MessageBuffer *);
typedef int32_t(KOR_CALL *close_fn)(void *, int32_t, MessageBuffer *);
typedef int32_t(KOR_CALL *read_fn)(void *, void *, int32_t, MessageBuffer *);
typedef int32_t(KOR_CALL *write_fn)(void *, const void *, int32_t,
                                    MessageBuffer *);
typedef void(KOR_CALL *queryapi_fn)(ApiInfo *);
typedef void(KOR_CALL *register_info_fn)(kor_info_callback);
typedef void(KOR_CALL *register_format_fn)(kor_format_string_callback);
typedef void(KOR_CALL *register_cancelled_fn)(kor_cancelled_callback);
typedef int32_t(KOR_CALL *last_error_fn)(void *);

static const char *const kNames[10] = {
    NULL,
    "kor_open",
    "kor_close",
    "kor_read",
    "kor_write",
    "kor_queryapi",
    "kor_register_info_callback",
    "kor_register_format_string",
    "kor_register_cancelled",
    "kor_get_last_error",
};

static open_fn kor_open_p;
static close_fn kor_close_p;
static read_fn kor_read_p;
static write_fn kor_write_p;
static queryapi_fn kor_queryapi_p;
static register_info_fn kor_register_info_p;
static register_format_fn kor_register_format_p;
static register_cancelled_fn kor_register_cancelled_p;
static last_error_fn kor_get_last_error_p;

static int passed = 0;
static int failed = 0;

static void check(int ok, const char *what) {
  if (ok) {
    ++passed;
  } else {
    ++failed;
    printf("FAILED: %s\n", what);
  }
}

static void check_text(const char *actual, const char *expected,
                       const char *what) {
  int ok = strcmp(actual, expected) == 0;
  if (!ok) printf("  got \"%s\", expected \"%s\"\n", actual, expected);
  check(ok, what);
}

/* --- Host callbacks ------------------------------------------------------ */

static int32_t last_number;
static char last_args[2][512];

static void KOR_CALL format_text(int32_t number, char *text, int32_t size,
                                 KorMessageArg *args) {
  int i;
  last_number = number;
  /* Errors without arguments leave the slots 0; every other error's
   * arguments present here are texts. */
  for (i = 0; i < 2; ++i) {
    const char *arg = (const char *)args[i];
    snprintf(last_args[i], sizeof last_args[i], "%s", arg ? arg : "");
  }
  if (number == 6918 || number == 6923 || number == 6930) {
    last_args[0][0] = last_args[1][0] = '\0';
  }
  snprintf(text, (size_t)size, "error %d: %s: %s", (int)number, last_args[0],
           last_args[1]);
}

/* Operator messages other than 9237, the notice that a capacity below
 * 1 GB was given (as every stripe here does, to get small volumes). */
static int operator_messages;

static void KOR_CALL info(int32_t number, KorMessageArg *args, int32_t two,
                          void *record) {
  (void)args;
  (void)two;
  (void)record;
  if (number == 9237) return;
  ++operator_messages;
  printf("operator message %d\n", (int)number);
}

static int32_t KOR_CALL never_cancelled(void) { return 0; }

/* --- Helpers --------------------------------------------------------------- */

/* FormatMessageA's text for a Win32 code, line breaks trimmed. */
static void system_text(DWORD code, char *out, size_t size) {
  char *text = NULL;
  DWORD n = FormatMessageA(0x11C8, NULL, code, 0x400, (char *)&text, 0, NULL);
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' ||
                   text[n - 1] == ' '))
    --n;
  snprintf(out, size, "%.*s", (int)n, text ? text : "");
  if (text) LocalFree(text);
}

static int file_exists(const char *name) {
  DWORD attributes = GetFileAttributesA(name);
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

/* Removes every file of `dir` (not its subdirectories' contents). */
static void clear_directory(const char *dir) {
  char pattern[MAX_PATH], path[MAX_PATH];
  WIN32_FIND_DATAA entry;
  HANDLE find;
  snprintf(pattern, sizeof pattern, "%s\\*", dir);
  find = FindFirstFileA(pattern, &entry);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    snprintf(path, sizeof path, "%s\\%s", dir, entry.cFileName);
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (strcmp(entry.cFileName, ".") != 0 &&
          strcmp(entry.cFileName, "..") != 0)
        RemoveDirectoryA(path);
    } else {
      DeleteFileA(path);
    }
  } while (FindNextFileA(find, &entry));
  FindClose(find);
}

/* The open-parameters record as raw bytes, as a host lays it out. */
typedef struct {
  unsigned char bytes[PARAMS_SIZE];
  char devices[KOR_MAX_STRIPES][300];
} Params;

static void params_init(Params *p, const char *dbname) {
  memset(p, 0, sizeof *p);
  memcpy(p->bytes + DBNAME_OFFSET, dbname, strlen(dbname));
}

static void params_set(Params *p, int stripe, const char *devname) {
  const char *text = p->devices[stripe];
  snprintf(p->devices[stripe], sizeof p->devices[stripe],
           "devname=%s;dbtype=ZDBn;capacity=256", devname);
  memcpy(p->bytes + DEVICE_STRING_OFFSET(stripe), &text, sizeof text);
}

/* A deterministic stream: byte i of stripe s. */
static unsigned char stream_byte(int stripe, uint32_t i) {
  uint32_t x = (i + 1) * 2654435761u ^ (uint32_t)(stripe + 1) * 40503u;
  return (unsigned char)(x >> 13 ^ i);
}

#define REQUEST 65536
/* Past four volumes of 256 KB, and not a multiple of the request size. */
#define STREAM_BYTES (1100 * 1024 + 4321)

/* Writes `bytes` of stripe `stripe`'s stream, starting at `from`. */
static int write_stream(void *h, int stripe, uint32_t from, uint32_t bytes) {
  static unsigned char buffer[REQUEST];
  MessageBuffer msg;
  uint32_t pos = from;
  while (pos < from + bytes) {
    uint32_t n = from + bytes - pos < REQUEST ? from + bytes - pos : REQUEST;
    uint32_t i;
    for (i = 0; i < n; ++i) buffer[i] = stream_byte(stripe, pos + i);
    if (kor_write_p(h, buffer, (int32_t)n, &msg) != 0) {
      printf("  write at %lu: %s\n", (unsigned long)pos, msg.text);
      return 0;
    }
    pos += n;
  }
  return 1;
}

/* Reads the whole stream of `stripe` back and compares it. */
static int restore_stream(const Params *p, int stripe, uint32_t bytes) {
  static unsigned char buffer[REQUEST];
  MessageBuffer msg;
  uint32_t pos = 0;
  int same = 1;
  void *h = kor_open_p(stripe, p->bytes, KOR_MODE_READ, &msg);
  if (h == NULL) {
    printf("  restore open of stripe %d: %s\n", stripe, msg.text);
    return 0;
  }
  while (pos < bytes && same) {
    uint32_t n = bytes - pos < REQUEST ? bytes - pos : REQUEST;
    uint32_t i;
    if (kor_read_p(h, buffer, (int32_t)n, &msg) != 0) {
      printf("  read at %lu: %s\n", (unsigned long)pos, msg.text);
      same = 0;
      break;
    }
    for (i = 0; i < n; ++i) {
      if (buffer[i] != stream_byte(stripe, pos + i)) {
        printf("  stripe %d differs at byte %lu\n", stripe,
               (unsigned long)(pos + i));
        same = 0;
        break;
      }
    }
    pos += n;
  }
  if (kor_close_p(h, KOR_CLOSE_NORMAL, &msg) != 0) {
    printf("  restore close: %s\n", msg.text);
    same = 0;
  }
  return same;
}

/* Backs up stripe `stripe` whole and closes it. */
static int backup_stream(const Params *p, int stripe, uint32_t bytes) {
  MessageBuffer msg;
  void *h = kor_open_p(stripe, p->bytes, KOR_MODE_WRITE, &msg);
  int ok;
  if (h == NULL) {
    printf("  backup open of stripe %d: %s\n", stripe, msg.text);
    return 0;
  }
  ok = kor_get_last_error_p(h) == 0;
  ok = write_stream(h, stripe, 0, bytes) && ok;
  if (kor_close_p(h, KOR_CLOSE_NORMAL, &msg) != 0) {
    printf("  backup close: %s\n", msg.text);
    ok = 0;
  }
  return ok;
}

/* --- Loading by ordinal ---------------------------------------------------- */

static FARPROC resolve(HMODULE module, int ordinal) {
  FARPROC by_ordinal = GetProcAddress(module, MAKEINTRESOURCEA(ordinal));
  FARPROC by_name = GetProcAddress(module, kNames[ordinal]);
  char what[128];
  snprintf(what, sizeof what, "ordinal %d resolves", ordinal);
  check(by_ordinal != NULL, what);
  snprintf(what, sizeof what, "ordinal %d is %s", ordinal, kNames[ordinal]);
  check(by_ordinal != NULL && by_ordinal == by_name, what);
  return by_ordinal;
}

#define AS(type, proc) ((type)(void (*)(void))(proc))

static int load_library(void) {
  HMODULE module = LoadLibraryA("korbr.dll");
  char what[64];
  check(module != NULL, "LoadLibraryA(\"korbr.dll\")");
  if (module == NULL) {
    printf("  error %lu\n", (unsigned long)GetLastError());
    return 0;
  }
  kor_open_p = AS(open_fn, resolve(module, 1));
  kor_close_p = AS(close_fn, resolve(module, 2));
  kor_read_p = AS(read_fn, resolve(module, 3));
  kor_write_p = AS(write_fn, resolve(module, 4));
  kor_queryapi_p = AS(queryapi_fn, resolve(module, 5));
  kor_register_info_p = AS(register_info_fn, resolve(module, 6));
  kor_register_format_p = AS(register_format_fn, resolve(module, 7));
  kor_register_cancelled_p = AS(register_cancelled_fn, resolve(module, 8));
  kor_get_last_error_p = AS(last_error_fn, resolve(module, 9));
  /* Nothing beyond the nine. */
  snprintf(what, sizeof what, "no ordinal 10");
  check(GetProcAddress(module, MAKEINTRESOURCEA(10)) == NULL, what);
  return kor_open_p && kor_close_p && kor_read_p && kor_write_p &&
         kor_queryapi_p && kor_register_info_p && kor_register_format_p &&
         kor_register_cancelled_p && kor_get_last_error_p;
}

/* --- Scenarios --------------------------------------------------------------- */

static void query_api(void) {
  unsigned char record[64];
  static const char kName[] = "KORVEL BACKUP/RESTORE API";
  int i, zeros = 1, untouched = 1;
  memset(record, 0xCC, sizeof record);
  kor_queryapi_p((ApiInfo *)record);
  check(memcmp(record, "\x01\x00\x01\x00\x01\x00\x00\x00", 8) == 0,
        "ApiInfo version 0x00010001 and revision 1");
  check(memcmp(record + 8, kName, sizeof kName) == 0, "ApiInfo name");
  for (i = 8 + (int)sizeof kName; i < 38; ++i) zeros &= record[i] == 0;
  check(zeros, "ApiInfo name zero-filled to byte 38");
  for (i = 38; i < (int)sizeof record; ++i) untouched &= record[i] == 0xCC;
  check(untouched, "ApiInfo is 38 bytes: nothing written past it");
}

/* Three stripes named by absolute Z:\ (or C:\) names, several volume files
 * each, restored byte for byte. */
static void absolute_names(const char *dir) {
  Params p;
  char prefix[MAX_PATH], volume[MAX_PATH + 8];
  int s;
  params_init(&p, "ordinaldb");
  for (s = 0; s < 3; ++s) {
    snprintf(prefix, sizeof prefix, "%s\\abs_s%d", dir, s);
    params_set(&p, s, prefix);
  }
  for (s = 0; s < 3; ++s)
    check(backup_stream(&p, s, STREAM_BYTES + (uint32_t)s * 1000),
          "backup on an absolute name");
  snprintf(volume, sizeof volume, "%s\\abs_s2.5", dir);
  check(file_exists(volume), "the stripe spans five volume files");
  for (s = 0; s < 3; ++s)
    check(restore_stream(&p, s, STREAM_BYTES + (uint32_t)s * 1000),
          "restore from an absolute name is identical");
}

/* A relative name is joined to the current directory. */
static void relative_name(const char *dir) {
  Params p;
  char previous[MAX_PATH], volume[MAX_PATH + 16];
  DWORD n = GetCurrentDirectoryA(sizeof previous, previous);
  check(n > 0 && n < sizeof previous, "current directory");
  check(SetCurrentDirectoryA(dir) != 0, "SetCurrentDirectoryA");
  params_init(&p, "ordinaldb");
  params_set(&p, 0, "rel_s0");
  check(backup_stream(&p, 0, STREAM_BYTES), "backup on a relative name");
  snprintf(volume, sizeof volume, "%s\\rel_s0.1", dir);
  check(file_exists(volume), "the relative name's volume 1 is in the "
                             "current directory");
  check(restore_stream(&p, 0, STREAM_BYTES),
        "restore from a relative name is identical");
  SetCurrentDirectoryA(previous);
}

/* A backup prefix that is a directory is refused before anything is made. */
static void prefix_is_directory(const char *dir) {
  Params p;
  MessageBuffer msg;
  char prefix[MAX_PATH], volume[MAX_PATH + 8];
  void *h;
  snprintf(prefix, sizeof prefix, "%s\\adir", dir);
  CreateDirectoryA(prefix, NULL);
  params_init(&p, "ordinaldb");
  params_set(&p, 4, prefix);
  last_number = 0;
  msg.length = -1;
  h = kor_open_p(4, p.bytes, KOR_MODE_WRITE, &msg);
  check(h == NULL, "a directory as prefix: open fails");
  check(last_number == 6944, "a directory as prefix: error 6944");
  check_text(last_args[0], prefix, "6944 names the prefix");
  check(msg.length == (int32_t)strlen(msg.text) && msg.length > 0,
        "the message buffer holds the host's text");
  snprintf(volume, sizeof volume, "%s.1", prefix);
  check(!file_exists(volume), "no volume file made beside the directory");
  RemoveDirectoryA(prefix);
}

/* A restore whose volume file is missing: 6920 with the file's name and
 * the system's text for "file not found". */
static void missing_volume(const char *dir) {
  Params p;
  MessageBuffer msg;
  char prefix[MAX_PATH], volume[MAX_PATH + 8], text[512];
  void *h;
  snprintf(prefix, sizeof prefix, "%s\\missing", dir);
  params_init(&p, "ordinaldb");
  params_set(&p, 1, prefix);
  last_number = 0;
  h = kor_open_p(1, p.bytes, KOR_MODE_READ, &msg);
  check(h == NULL, "missing volume: open fails");
  check(last_number == 6920, "missing volume: error 6920");
  snprintf(volume, sizeof volume, "%s.1", prefix);
  check_text(last_args[0], volume, "6920 names the volume file");
  system_text(ERROR_FILE_NOT_FOUND, text, sizeof text);
  check(text[0] != '\0', "the system has a text for code 2");
  check_text(last_args[1], text, "6920 carries the system's text");
}

/* Two stripes given one prefix: the second open meets the first one's
 * volume file and is refused with the sharing violation; the first stripe
 * goes on and its stream comes back whole. */
static void shared_prefix(const char *dir) {
  Params p;
  MessageBuffer msg;
  char prefix[MAX_PATH], volume[MAX_PATH + 8], text[512];
  void *first, *second;
  snprintf(prefix, sizeof prefix, "%s\\shared", dir);
  params_init(&p, "ordinaldb");
  params_set(&p, 0, prefix);
  params_set(&p, 1, prefix);
  first = kor_open_p(0, p.bytes, KOR_MODE_WRITE, &msg);
  check(first != NULL, "shared prefix: the first stripe opens");
  if (first == NULL) {
    printf("  %s\n", msg.text);
    return;
  }
  check(write_stream(first, 0, 0, 2 * REQUEST), "the first stripe writes");
  last_number = 0;
  second = kor_open_p(1, p.bytes, KOR_MODE_WRITE, &msg);
  check(second == NULL, "shared prefix: the second stripe is refused");
  if (second != NULL) kor_close_p(second, KOR_CLOSE_ABANDON, &msg);
  check(last_number == 6920, "shared prefix: error 6920");
  snprintf(volume, sizeof volume, "%s.1", prefix);
  check_text(last_args[0], volume, "6920 names the shared volume file");
  system_text(ERROR_SHARING_VIOLATION, text, sizeof text);
  check(text[0] != '\0', "the system has a text for code 32");
  check_text(last_args[1], text, "6920 carries the sharing violation text");
  check(write_stream(first, 0, 2 * REQUEST, STREAM_BYTES - 2 * REQUEST),
        "the first stripe goes on");
  check(kor_close_p(first, KOR_CLOSE_NORMAL, &msg) == 0,
        "the first stripe closes");
  check(restore_stream(&p, 0, STREAM_BYTES),
        "the first stripe's stream is intact");
}

static int make_directory(const char *given, char *dir, size_t size) {
  if (given != NULL) {
    snprintf(dir, size, "%s", given);
    if (!CreateDirectoryA(dir, NULL) &&
        GetLastError() != ERROR_ALREADY_EXISTS) {
      printf("cannot make %s: error %lu\n", dir, (unsigned long)GetLastError());
      return 0;
    }
  } else {
    char temp[MAX_PATH];
    if (GetTempPathA(sizeof temp, temp) == 0) return 0;
    snprintf(dir, size, "%skorbr_ordinal_%lu", temp,
             (unsigned long)GetCurrentProcessId());
    if (!CreateDirectoryA(dir, NULL)) return 0;
  }
  clear_directory(dir);
  return 1;
}

int main(int argc, char **argv) {
  char dir[MAX_PATH];
  setvbuf(stdout, NULL, _IONBF, 0);
  if (!make_directory(argc > 1 ? argv[1] : NULL, dir, sizeof dir)) {
    printf("0 passed, 1 failed\n");
    return 1;
  }
  printf("ordinal_host: %d-bit, volumes in %s\n", (int)sizeof(void *) * 8,
         dir);
  if (load_library()) {
    query_api();
    kor_register_format_p(format_text);
    kor_register_info_p(info);
    kor_register_cancelled_p(never_cancelled);
    absolute_names(dir);
    relative_name(dir);
    prefix_is_directory(dir);
    missing_volume(dir);
    shared_prefix(dir);
    check(operator_messages == 0, "no operator messages but 9237");
  }
  if (failed == 0) {
    clear_directory(dir);
    if (argc <= 1) RemoveDirectoryA(dir);
  }
  printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
