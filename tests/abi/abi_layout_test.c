/*
 * The public header compiled as plain C11, the way a host sees it.
 *
 * Strategy: every size and offset that host and library must agree on is
 * checked at run time, also the fields the header does not assert itself,
 * and each mismatch is printed on its own line so that one run lists
 * everything that is off.  The nine function declarations are
 * checked at compile time against the host's function pointer types with
 * _Generic, which demands compatible types: any difference in result or
 * argument types fails the build (a plain assignment would only warn).  The
 * functions are named only inside unevaluated operands, so this program
 * needs no library to link against.
 */
#include "korbr/korbr.h"

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

static int failures = 0;

static void expect(const char *what, size_t actual, size_t expected) {
  if (actual != expected) {
    printf("%s is %zu, expected %zu\n", what, actual, expected);
    ++failures;
  }
}

#define FIELD_SIZE(type, field) sizeof(((type *)0)->field)

/* The prototypes a host is built against. */
typedef void *(KOR_CALL *open_fn)(int32_t, const void *, int32_t,
                                  MessageBuffer *);
typedef int32_t(KOR_CALL *close_fn)(void *, int32_t, MessageBuffer *);
typedef int32_t(KOR_CALL *read_fn)(void *, void *, int32_t, MessageBuffer *);
typedef int32_t(KOR_CALL *write_fn)(void *, const void *, int32_t,
                                    MessageBuffer *);
typedef void(KOR_CALL *queryapi_fn)(ApiInfo *);
typedef void(KOR_CALL *register_info_fn)(
    void(KOR_CALL *)(int32_t, intptr_t *, int32_t, void *));
typedef void(KOR_CALL *register_format_fn)(
    void(KOR_CALL *)(int32_t, char *, int32_t, intptr_t *));
typedef void(KOR_CALL *register_cancelled_fn)(int32_t(KOR_CALL *)(void));
typedef int32_t(KOR_CALL *last_error_fn)(void *);

/* True only when `function` has exactly the type `type` points to. */
#define HAS_TYPE(function, type) _Generic((function), type: 1, default: 0)

_Static_assert(HAS_TYPE(kor_open, open_fn), "kor_open prototype");
_Static_assert(HAS_TYPE(kor_close, close_fn), "kor_close prototype");
_Static_assert(HAS_TYPE(kor_read, read_fn), "kor_read prototype");
_Static_assert(HAS_TYPE(kor_write, write_fn), "kor_write prototype");
_Static_assert(HAS_TYPE(kor_queryapi, queryapi_fn), "kor_queryapi prototype");
_Static_assert(HAS_TYPE(kor_register_info_callback, register_info_fn),
               "kor_register_info_callback prototype");
_Static_assert(HAS_TYPE(kor_register_format_string, register_format_fn),
               "kor_register_format_string prototype");
_Static_assert(HAS_TYPE(kor_register_cancelled, register_cancelled_fn),
               "kor_register_cancelled prototype");
_Static_assert(HAS_TYPE(kor_get_last_error, last_error_fn),
               "kor_get_last_error prototype");

int main(void) {
  expect("sizeof(ApiInfo)", sizeof(ApiInfo), 38);
  expect("offsetof(ApiInfo, version)", offsetof(ApiInfo, version), 0);
  expect("sizeof(ApiInfo.version)", FIELD_SIZE(ApiInfo, version), 4);
  expect("offsetof(ApiInfo, revision)", offsetof(ApiInfo, revision), 4);
  expect("sizeof(ApiInfo.revision)", FIELD_SIZE(ApiInfo, revision), 4);
  expect("offsetof(ApiInfo, name)", offsetof(ApiInfo, name), 8);
  expect("sizeof(ApiInfo.name)", FIELD_SIZE(ApiInfo, name), 30);

  expect("sizeof(MessageBuffer)", sizeof(MessageBuffer), 1028);
  expect("offsetof(MessageBuffer, length)", offsetof(MessageBuffer, length), 0);
  expect("sizeof(MessageBuffer.length)", FIELD_SIZE(MessageBuffer, length), 4);
  expect("offsetof(MessageBuffer, text)", offsetof(MessageBuffer, text), 4);
  expect("sizeof(MessageBuffer.text)", FIELD_SIZE(MessageBuffer, text), 1024);

  expect("sizeof(InfoRecord)", sizeof(InfoRecord), 28);
  expect("offsetof(InfoRecord, number)", offsetof(InfoRecord, number), 4);
  expect("sizeof(InfoRecord.number)", FIELD_SIZE(InfoRecord, number), 4);

  expect("offsetof(OpenParams, dbname)", offsetof(OpenParams, dbname), 72);
  expect("sizeof(OpenParams.dbname)", FIELD_SIZE(OpenParams, dbname), 30);
  expect("offsetof(OpenParams, archdev)", offsetof(OpenParams, archdev),
         sizeof(void *) == 4 ? 172 : 176);
  expect("sizeof(OpenParams.archdev[0])", FIELD_SIZE(OpenParams, archdev[0]),
         sizeof(void *));
  expect("sizeof(OpenParams.archdev)", FIELD_SIZE(OpenParams, archdev),
         32 * sizeof(void *));

  expect("sizeof(KorMessageArg)", sizeof(KorMessageArg), sizeof(void *));
  expect("KOR_MAX_STRIPES", KOR_MAX_STRIPES, 32);
  expect("KOR_MESSAGE_TEXT_SIZE", KOR_MESSAGE_TEXT_SIZE, 1024);
  expect("KOR_MAX_MESSAGE_ARGS", KOR_MAX_MESSAGE_ARGS, 16);

  if (failures != 0) {
    printf("abi layout: %d mismatches\n", failures);
    return 1;
  }
  printf("abi layout ok\n");
  return 0;
}
