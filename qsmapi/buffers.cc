// MAPI's chained buffers: a root from MAPIAllocateBuffer, and blocks allocated "more" on it
// that are freed with it.
#include <stdlib.h>

#include <cstddef>
#include <mutex>

#include "qsmapi/plan.h"
#include "qsmapi/qsmapi.h"

using namespace qsmapi;

namespace {

// A buffer from MAPIAllocateBuffer (a root) or MAPIAllocateMore (linked to its root), preceded
// by this header. Freeing the root frees every block linked to it.
struct alignas(std::max_align_t) Block {
  ULONG magic;
  Block* root;  // the root a "more" block belongs to; null for a root
  Block* next;  // the next "more" block of the same root
};
constexpr ULONG RootMagic = 0x4D415042;  // "MAPB"
constexpr ULONG MoreMagic = 0x4D41504D;  // "MAPM"
std::mutex ChainLock;

Block* HeaderOf(LPVOID buffer) {
  return (Block*)((char*)buffer - sizeof(Block));
}

Block* NewBlock(ULONG size, ULONG magic) {
  Block* block = (Block*)malloc(sizeof(Block) + (size_t)size);
  if (block == nullptr) return nullptr;
  block->magic = magic;
  block->root = nullptr;
  block->next = nullptr;
  return block;
}

}  // namespace

SCODE WINAPI MAPIAllocateBuffer(ULONG cbSize, LPVOID* lppBuffer) {
  plan::Call call(nullptr, "MAPIAllocateBuffer", "%u", cbSize);
  if (lppBuffer == nullptr) return MAPI_E_INVALID_PARAMETER;
  *lppBuffer = nullptr;
  if (!IsInitialized()) return MAPI_E_NOT_INITIALIZED;
  Block* block = NewBlock(cbSize, RootMagic);
  if (block == nullptr) return MAPI_E_NOT_ENOUGH_MEMORY;
  *lppBuffer = block + 1;
  plan::TrackBuffer(*lppBuffer);
  return S_OK;
}

// lpObject is a root or any block already linked to one; the new block joins that root.
SCODE WINAPI MAPIAllocateMore(ULONG cbSize, LPVOID lpObject, LPVOID* lppBuffer) {
  plan::Call call(nullptr, "MAPIAllocateMore", "%u", cbSize);
  if (lppBuffer == nullptr) return MAPI_E_INVALID_PARAMETER;
  *lppBuffer = nullptr;
  if (!IsInitialized()) return MAPI_E_NOT_INITIALIZED;
  if (lpObject == nullptr) return MAPI_E_INVALID_PARAMETER;
  Block* owner = HeaderOf(lpObject);
  Block* root;
  if (owner->magic == RootMagic) {
    root = owner;
  } else if (owner->magic == MoreMagic) {
    root = owner->root;
  } else {
    return MAPI_E_INVALID_PARAMETER;
  }
  Block* block = NewBlock(cbSize, MoreMagic);
  if (block == nullptr) return MAPI_E_NOT_ENOUGH_MEMORY;
  block->root = root;
  {
    std::lock_guard<std::mutex> lock(ChainLock);
    block->next = root->next;
    root->next = block;
  }
  *lppBuffer = block + 1;
  return S_OK;
}

// Frees a root with everything allocated on it. Freeing works whether or not the subsystem is
// initialised, so that nothing handed out before the last MAPIUninitialize has to leak. A block
// allocated "more" is freed only with its root; freeing it alone is refused.
ULONG WINAPI MAPIFreeBuffer(LPVOID lpBuffer) {
  plan::Call call(nullptr, "MAPIFreeBuffer", "%s", "");
  if (lpBuffer == nullptr) return S_OK;
  // A buffer already freed, or never handed out, is not touched.
  if (!plan::UntrackBuffer(lpBuffer)) return (ULONG)MAPI_E_INVALID_PARAMETER;
  Block* root = HeaderOf(lpBuffer);
  if (root->magic != RootMagic) return (ULONG)MAPI_E_INVALID_PARAMETER;
  Block* chain;
  {
    std::lock_guard<std::mutex> lock(ChainLock);
    chain = root->next;
    root->next = nullptr;
    root->magic = 0;
  }
  while (chain != nullptr) {
    Block* next = chain->next;
    chain->magic = 0;
    free(chain);
    chain = next;
  }
  free(root);
  return S_OK;
}
