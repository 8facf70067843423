/*
 * korbr.h - the archive-device library's interface towards its host.
 *
 * Conventions
 *  - Every exported function has C linkage; on Windows they are __cdecl and
 *    exported by name with the ordinals 1 kor_open ... 9 kor_get_last_error.
 *  - Integer arguments and results are 32-bit on every platform; only what
 *    holds a pointer widens on 64-bit builds (device-string pointers in
 *    OpenParams, message-argument slots).
 *  - Failures are message numbers (errors 6918..6944, operator messages
 *    9234..9237).  The library owns no texts: the host's format-string
 *    callback writes an error's text into the caller's MessageBuffer, the
 *    info callback receives operator messages.
 *  - The host owns OpenParams (read only during kor_open), every
 *    MessageBuffer and every data buffer.  The library owns a handle from
 *    kor_open until kor_close.  Texts handed to callbacks are valid only
 *    while the callback runs.
 *  - Calls on different handles may run at the same time from different
 *    threads; calls on one handle must not overlap.
 */
#ifndef KORBR_KORBR_H_
#define KORBR_KORBR_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define KOR_CALL __cdecl
#else
#define KOR_CALL
#endif

#if defined(KORBR_BUILDING_LIBRARY)
#if defined(_WIN32)
#define KOR_EXPORT __declspec(dllexport)
#else
#define KOR_EXPORT __attribute__((visibility("default")))
#endif
#else
#define KOR_EXPORT
#endif

/* Open modes for kor_open. */
#define KOR_MODE_READ 0  /* restore */
#define KOR_MODE_WRITE 1 /* backup */

/* Close modes for kor_close. */
#define KOR_CLOSE_NORMAL 0
#define KOR_CLOSE_ABANDON (-1)

#define KOR_MAX_STRIPES 32
#define KOR_MESSAGE_TEXT_SIZE 1024
#define KOR_MAX_MESSAGE_ARGS 16

/* The caller's message buffer: the text of the last error raised during the
 * call, written by the host's format-string callback. */
typedef struct MessageBuffer {
  int32_t length;                      /* bytes of text, without terminator */
  char text[KOR_MESSAGE_TEXT_SIZE];    /* NUL-terminated error text */
} MessageBuffer;

/* The library's identification, filled by kor_queryapi: 38 bytes. */
#pragma pack(push, 1)
typedef struct ApiInfo {
  uint32_t version;  /* 0x00010001 */
  uint32_t revision; /* 1 */
  char name[30];     /* "KORVEL BACKUP/RESTORE API", zero-filled */
} ApiInfo;
#pragma pack(pop)

/* The host's open-parameters record.  The library reads the database name
 * and the device string of the stripe being opened, nothing else. */
typedef struct OpenParams {
  uint8_t host_reserved0[72];                /* host's own fields */
  char dbname[30];                           /* database name, offset 72 */
  uint8_t host_reserved1[70];                /* host's own fields */
  const char *archdev[KOR_MAX_STRIPES];      /* device string per stripe:
                                                offset 172 (32-bit),
                                                176 (64-bit) */
} OpenParams;

/* Passed to the info callback with every operator message: 28 bytes, all
 * zero but the message number. */
typedef struct InfoRecord {
  uint32_t reserved0;   /* 0 */
  uint32_t number;      /* the message number */
  uint8_t reserved1[20];/* 0 */
} InfoRecord;

/* Message arguments: up to 16 slots, each an integer or a pointer to a
 * NUL-terminated text, as the message number requires. */
typedef intptr_t KorMessageArg;

typedef void(KOR_CALL *kor_format_string_callback)(int32_t number, char *text,
                                                   int32_t size,
                                                   KorMessageArg *args);
typedef void(KOR_CALL *kor_info_callback)(int32_t number, KorMessageArg *args,
                                          int32_t two, void *info_record);
typedef int32_t(KOR_CALL *kor_cancelled_callback)(void);

/* Opens stripe `stripe` (0..31) for a restore (mode 0) or a backup (mode 1).
 * Returns the handle, or NULL with the reason in `msg` when one was raised. */
KOR_EXPORT void *KOR_CALL kor_open(int32_t stripe, const void *params,
                                   int32_t mode, MessageBuffer *msg);
/* Ends a stripe: writes the trailer labels of a backup, closes the device
 * (mode 0) or abandons it (mode -1), and releases the handle whatever the
 * result.  0 on success, -1 on failure. */
KOR_EXPORT int32_t KOR_CALL kor_close(void *handle, int32_t mode,
                                      MessageBuffer *msg);
/* Fills `data` with exactly `length` bytes of the stripe's stream: 0, or -1
 * with the reason in `msg`. */
KOR_EXPORT int32_t KOR_CALL kor_read(void *handle, void *data, int32_t length,
                                     MessageBuffer *msg);
/* Puts all `length` bytes of `data` on the media as one request: 0, or -1
 * with the reason in `msg`. */
KOR_EXPORT int32_t KOR_CALL kor_write(void *handle, const void *data,
                                      int32_t length, MessageBuffer *msg);
KOR_EXPORT void KOR_CALL kor_queryapi(ApiInfo *info);
KOR_EXPORT void KOR_CALL
kor_register_info_callback(kor_info_callback callback);
KOR_EXPORT void KOR_CALL
kor_register_format_string(kor_format_string_callback callback);
KOR_EXPORT void KOR_CALL kor_register_cancelled(kor_cancelled_callback callback);
/* The number of the last error raised on the handle, 0 if none; -1 for a
 * handle the library does not know. */
KOR_EXPORT int32_t KOR_CALL kor_get_last_error(void *handle);

/* Layout checks: the host and the library must agree byte for byte. */
#if defined(__cplusplus)
#define KOR_STATIC_ASSERT(c, m) static_assert(c, m)
#else
#define KOR_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif
KOR_STATIC_ASSERT(sizeof(ApiInfo) == 38, "ApiInfo is 38 bytes");
KOR_STATIC_ASSERT(sizeof(MessageBuffer) == 1028, "MessageBuffer is 1028 bytes");
KOR_STATIC_ASSERT(sizeof(InfoRecord) == 28, "InfoRecord is 28 bytes");
KOR_STATIC_ASSERT(offsetof(OpenParams, dbname) == 72, "dbname at 72");
KOR_STATIC_ASSERT(offsetof(OpenParams, archdev) ==
                      (sizeof(void *) == 4 ? 172 : 176),
                  "device strings at 172 (32-bit) or 176 (64-bit)");
KOR_STATIC_ASSERT(sizeof(KorMessageArg) == sizeof(void *),
                  "message arguments are pointer-sized");

#ifdef __cplusplus
}
#endif

#endif /* KORBR_KORBR_H_ */
