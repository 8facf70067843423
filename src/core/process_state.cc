// The registry of live handles, behind the process mutex.
//
// The registry is a singly linked list through StripeHandle::next in the
// order the handles were opened.  IsLiveHandle only compares pointers while
// walking it, so a pointer the host made up is never dereferenced.
#include "core/process_state.h"

#include "diag/host_callbacks.h"

namespace kor {
namespace {

StripeHandle *g_handle_list = nullptr;  // head of the registry

}  // namespace

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

}  // namespace kor
