// Process-wide state: the host callback slots and the registry of live
// handles, all behind one mutex.
//
// The registry is a singly linked list through StripeHandle::next in the
// order the handles were opened.  IsLiveHandle only compares pointers while
// walking it, so a pointer the host made up is never dereferenced.
#include "api/process_state.h"

namespace kor {
namespace {

kor_format_string_callback g_format_string_callback = nullptr;
kor_info_callback g_info_callback = nullptr;
kor_cancelled_callback g_cancelled_callback = nullptr;
StripeHandle *g_handle_list = nullptr;  // head of the registry

}  // namespace

std::mutex &ProcessMutex() {
  // Function-local so that it exists before any static initialiser of
  // another translation unit could use it.
  static std::mutex mutex;
  return mutex;
}

void SetFormatStringCallback(kor_format_string_callback callback) {
  std::lock_guard<std::mutex> lock(ProcessMutex());
  g_format_string_callback = callback;
}

void SetInfoCallback(kor_info_callback callback) {
  std::lock_guard<std::mutex> lock(ProcessMutex());
  g_info_callback = callback;
}

void SetCancelledCallback(kor_cancelled_callback callback) {
  std::lock_guard<std::mutex> lock(ProcessMutex());
  g_cancelled_callback = callback;
}

kor_format_string_callback FormatStringCallback() {
  std::lock_guard<std::mutex> lock(ProcessMutex());
  return g_format_string_callback;
}

kor_info_callback InfoCallback() {
  std::lock_guard<std::mutex> lock(ProcessMutex());
  return g_info_callback;
}

kor_cancelled_callback CancelledCallback() {
  std::lock_guard<std::mutex> lock(ProcessMutex());
  return g_cancelled_callback;
}

void LinkHandle(StripeHandle *h) {
  if (h == nullptr) return;
  std::lock_guard<std::mutex> lock(ProcessMutex());
  StripeHandle **link = &g_handle_list;
  while (*link != nullptr) {
    // Linking a handle twice would close the list into a ring.
    if (*link == h) return;
    link = &(*link)->next;
  }
  h->next = nullptr;
  *link = h;
}

void UnlinkHandle(StripeHandle *h) {
  if (h == nullptr) return;
  std::lock_guard<std::mutex> lock(ProcessMutex());
  for (StripeHandle **link = &g_handle_list; *link != nullptr;
       link = &(*link)->next) {
    if (*link == h) {
      *link = h->next;
      h->next = nullptr;
      return;
    }
  }
}

bool IsLiveHandle(const void *h) {
  if (h == nullptr) return false;
  std::lock_guard<std::mutex> lock(ProcessMutex());
  for (const StripeHandle *p = g_handle_list; p != nullptr; p = p->next) {
    if (p == h) return true;
  }
  return false;
}

int LiveHandleCount() {
  std::lock_guard<std::mutex> lock(ProcessMutex());
  int count = 0;
  for (const StripeHandle *p = g_handle_list; p != nullptr; p = p->next) {
    ++count;
  }
  return count;
}

int LiveHandles(StripeHandle **out, int max) {
  std::lock_guard<std::mutex> lock(ProcessMutex());
  int count = 0;
  for (StripeHandle *p = g_handle_list; p != nullptr && count < max;
       p = p->next) {
    out[count++] = p;
  }
  return count;
}

}  // namespace kor
