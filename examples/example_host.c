/*
 * example_host: a small host that backs up a generated stream onto disk
 * stripes through libkorbr and restores it, byte for byte.
 *
 *   example_host [DIRECTORY] [MEGABYTES] [STRIPES]
 *
 * The stream is dealt out in 65536-byte requests round-robin over the
 * stripes; each stripe's volumes hold 256 KB, so every stripe spans several
 * volume files (DIRECTORY/stripeN.1, .2, ...).  Without DIRECTORY a
 * temporary one is made and removed afterwards.  Exit 0 when the restore
 * matches.
 */
#define _POSIX_C_SOURCE 200809L
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "korbr/korbr.h"

#if defined(_WIN32)
#include <direct.h>
#define make_dir(p) _mkdir(p)
#else
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#define make_dir(p) mkdir((p), 0700)
#endif

#define REQUEST 65536

static void KOR_CALL format_text(int32_t number, char *text, int32_t size,
                                 KorMessageArg *args) {
  /* The arguments of most messages are texts: show the first two. */
  const char *a = (number == 6918 || number == 6923 || number == 6930)
                      ? ""
                      : (const char *)args[0];
  snprintf(text, (size_t)size, "message %d (%s)", (int)number, a ? a : "");
}

static void KOR_CALL info(int32_t number, KorMessageArg *args, int32_t two,
                          void *record) {
  (void)args; (void)two; (void)record;
  fprintf(stderr, "operator message %d\n", (int)number);
}

static int32_t KOR_CALL never_cancelled(void) { return 0; }

/* A deterministic byte stream that does not repeat with the request size. */
static uint8_t stream_byte(uint64_t i) {
  uint64_t x = i * 0x9E3779B97F4A7C15ull;
  return (uint8_t)((x >> 29) ^ (x >> 47) ^ i);
}

int main(int argc, char **argv) {
  char dir[512];
  int made_temp = 0;
  long megabytes = argc > 2 ? atol(argv[2]) : 8;
  int stripes = argc > 3 ? atoi(argv[3]) : 3;
  if (megabytes <= 0 || stripes < 1 || stripes > KOR_MAX_STRIPES) {
    fprintf(stderr, "usage: example_host [DIRECTORY] [MEGABYTES] [STRIPES]\n");
    return 2;
  }
  if (argc > 1) {
    snprintf(dir, sizeof dir, "%s", argv[1]);
    make_dir(dir);
  } else {
#if defined(_WIN32)
    snprintf(dir, sizeof dir, "example_host_tmp");
    make_dir(dir);
#else
    snprintf(dir, sizeof dir, "/tmp/korbr-example-XXXXXX");
    if (mkdtemp(dir) == NULL) { perror("mkdtemp"); return 1; }
#endif
    made_temp = 1;
  }

  ApiInfo api;
  kor_queryapi(&api);
  printf("library: %s %08x\n", api.name, (unsigned)api.version);
  kor_register_format_string(format_text);
  kor_register_info_callback(info);
  kor_register_cancelled(never_cancelled);

  static char devstrings[KOR_MAX_STRIPES][600];
  OpenParams params;
  memset(&params, 0, sizeof params);
  strcpy(params.dbname, "exampledb");
  for (int s = 0; s < stripes; ++s) {
    snprintf(devstrings[s], sizeof devstrings[s],
             "devname=%s/stripe%d;dbtype=ZDBn;capacity=256", dir, s);
    params.archdev[s] = devstrings[s];
  }

  const uint64_t total = (uint64_t)megabytes * 1024 * 1024 + 12345;
  uint8_t *buffer = malloc(REQUEST);
  uint8_t *expect = malloc(REQUEST);
  void *handles[KOR_MAX_STRIPES];
  MessageBuffer msg;
  int failed = 0;

  /* Backup. */
  for (int s = 0; s < stripes && !failed; ++s) {
    handles[s] = kor_open(s, &params, KOR_MODE_WRITE, &msg);
    if (!handles[s]) { fprintf(stderr, "open: %s\n", msg.text); failed = 1; }
  }
  for (uint64_t pos = 0, n = 0; pos < total && !failed; pos += REQUEST, ++n) {
    int32_t len = (int32_t)(total - pos < REQUEST ? total - pos : REQUEST);
    for (int32_t i = 0; i < len; ++i) buffer[i] = stream_byte(pos + (uint64_t)i);
    if (kor_write(handles[n % (uint64_t)stripes], buffer, len, &msg) != 0) {
      fprintf(stderr, "write: %s\n", msg.text);
      failed = 1;
    }
  }
  for (int s = 0; s < stripes; ++s)
    if (handles[s] && kor_close(handles[s], KOR_CLOSE_NORMAL, &msg) != 0) {
      fprintf(stderr, "close: %s\n", msg.text);
      failed = 1;
    }
  if (failed) return 1;

  /* Restore and compare. */
  for (int s = 0; s < stripes && !failed; ++s) {
    handles[s] = kor_open(s, &params, KOR_MODE_READ, &msg);
    if (!handles[s]) { fprintf(stderr, "open: %s\n", msg.text); failed = 1; }
  }
  for (uint64_t pos = 0, n = 0; pos < total && !failed; pos += REQUEST, ++n) {
    int32_t len = (int32_t)(total - pos < REQUEST ? total - pos : REQUEST);
    if (kor_read(handles[n % (uint64_t)stripes], buffer, len, &msg) != 0) {
      fprintf(stderr, "read: %s\n", msg.text);
      failed = 1;
      break;
    }
    for (int32_t i = 0; i < len; ++i) expect[i] = stream_byte(pos + (uint64_t)i);
    if (memcmp(buffer, expect, (size_t)len) != 0) {
      fprintf(stderr, "restore differs in the request at byte %llu\n",
              (unsigned long long)pos);
      failed = 1;
    }
  }
  for (int s = 0; s < stripes; ++s)
    if (handles[s]) kor_close(handles[s], KOR_CLOSE_NORMAL, &msg);

  if (!failed)
    printf("backed up and restored %llu bytes on %d stripes in %s: identical\n",
           (unsigned long long)total, stripes, dir);
#if !defined(_WIN32)
  if (made_temp) {
    DIR *d = opendir(dir);
    struct dirent *e;
    char path[1100];
    while (d && (e = readdir(d)) != NULL) {
      if (e->d_name[0] == '.') continue;
      snprintf(path, sizeof path, "%s/%s", dir, e->d_name);
      unlink(path);
    }
    if (d) closedir(d);
    rmdir(dir);
  }
#else
  (void)made_temp; /* example_host_tmp is left behind for inspection */
#endif
  free(buffer);
  free(expect);
  return failed;
}
