// Large buffers (the request package, a big attachment) on transparent huge pages.
//
// A mail request puts up to 4 MiB into freshly allocated memory. Touching that memory
// one 4 KiB page at a time costs a page fault each, which on a virtual machine can take
// longer than reading the files and sending them. Blocks of 1 MiB and more are
// therefore mapped on their own, aligned to 2 MiB and marked for huge pages, so the
// same bytes take a handful of faults. Everything smaller goes to malloc as usual.
//
// Linked into the program only: tests and sanitizer builds keep the default allocator.
#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace {

const size_t kHugePage = size_t(2) << 20;
const size_t kLargeBlock = size_t(1) << 20;
const int kMaxLargeBlocks = 8;

struct SLargeBlock {
    void* pData;
    size_t nMapped;
};

// The few large blocks alive at a time; a full table sends further blocks to malloc.
SLargeBlock g_aLargeBlocks[kMaxLargeBlocks];

void* MapLarge(size_t nSize) {
    const size_t nMapped = (nSize + kHugePage - 1) / kHugePage * kHugePage;
    void* pRaw = mmap(nullptr, nMapped + kHugePage, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pRaw == MAP_FAILED) {
        return nullptr;
    }
    // Keep the 2 MiB-aligned part and give back the rest.
    const uintptr_t iRaw = reinterpret_cast<uintptr_t>(pRaw);
    const size_t nHead = ((iRaw + kHugePage - 1) & ~(kHugePage - 1)) - iRaw;
    char* pData = static_cast<char*>(pRaw) + nHead;
    if (nHead > 0) {
        munmap(pRaw, nHead);
    }
    const size_t nTail = kHugePage - nHead;
    if (nTail > 0) {
        munmap(pData + nMapped, nTail);
    }
    madvise(pData, nMapped, MADV_HUGEPAGE);  // a hint: without it, plain pages serve
    return pData;
}

void* AllocLarge(size_t nSize) {
    for (SLargeBlock& oBlock : g_aLargeBlocks) {
        if (oBlock.pData == nullptr) {
            oBlock.pData = MapLarge(nSize);
            if (oBlock.pData == nullptr) {
                return nullptr;
            }
            oBlock.nMapped = (nSize + kHugePage - 1) / kHugePage * kHugePage;
            return oBlock.pData;
        }
    }
    return malloc(nSize);
}

// True when p was one of the mapped blocks (now unmapped).
bool FreeLarge(void* p) {
    for (SLargeBlock& oBlock : g_aLargeBlocks) {
        if (oBlock.pData == p) {
            munmap(oBlock.pData, oBlock.nMapped);
            oBlock.pData = nullptr;
            return true;
        }
    }
    return false;
}

}  // namespace

void* operator new(size_t nSize) {
    void* p = nSize >= kLargeBlock ? AllocLarge(nSize) : malloc(nSize == 0 ? 1 : nSize);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}

void operator delete(void* p) noexcept {
    if (p != nullptr && !FreeLarge(p)) {
        free(p);
    }
}

void operator delete(void* p, size_t) noexcept {
    operator delete(p);
}
