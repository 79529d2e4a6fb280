#include "skf/tests/FailingAllocator.h"

#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>

#include <new>

namespace {

const char SKF_LIBRARY_NAME[] = "libbrioskf-enterprise.so";

thread_local unsigned int t_ulLeft = 0;  /* 0: not armed */
thread_local size_t t_nAtLeast = 0;      /* 0: not armed */
thread_local bool t_bFailed = false;

/* Whether the code at pCaller belongs to the library under test (not to
 * the virtual token's stand-ins, the C++ library or the test itself). */
bool InLibrary(void *pCaller) noexcept
{
    Dl_info stInfo;
    return dladdr(pCaller, &stInfo) != 0 && stInfo.dli_fname != nullptr &&
           strstr(stInfo.dli_fname, SKF_LIBRARY_NAME) != nullptr;
}

/* Whether this allocation of the library is the one to fail (and disarms
 * the size rule when it is). */
bool FailsNow(size_t n, void *pCaller) noexcept
{
    if ((t_ulLeft == 0 && t_nAtLeast == 0) || !InLibrary(pCaller)) return false;
    if (t_ulLeft != 0) return --t_ulLeft == 0;
    if (n < t_nAtLeast) return false;
    t_nAtLeast = 0;
    return true;
}

void *Allocate(size_t n, void *pCaller) noexcept
{
    if (FailsNow(n, pCaller)) {
        t_bFailed = true;
        return nullptr;
    }
    return malloc(n == 0 ? 1 : n);
}

void *AllocateOrThrow(size_t n, void *pCaller)
{
    void *p = Allocate(n, pCaller);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

}  // namespace

namespace skftest {

void FailAllocationsFrom(unsigned int n)
{
    t_bFailed = false;
    t_nAtLeast = 0;
    t_ulLeft = n;
}

void FailAllocationOfAtLeast(size_t nBytes)
{
    t_bFailed = false;
    t_ulLeft = 0;
    t_nAtLeast = nBytes;
}

void DisarmAllocationFailure()
{
    t_ulLeft = 0;
    t_nAtLeast = 0;
}

bool AllocationFailed() { return t_bFailed; }

}  // namespace skftest

/* Every form but the aligned ones, so that each allocation is freed by its
 * own kind (also under the address sanitizer). */
void *operator new(size_t n) { return AllocateOrThrow(n, __builtin_return_address(0)); }
void *operator new[](size_t n) { return AllocateOrThrow(n, __builtin_return_address(0)); }
void *operator new(size_t n, const std::nothrow_t &) noexcept { return Allocate(n, __builtin_return_address(0)); }
void *operator new[](size_t n, const std::nothrow_t &) noexcept { return Allocate(n, __builtin_return_address(0)); }
void operator delete(void *p) noexcept { free(p); }
void operator delete[](void *p) noexcept { free(p); }
void operator delete(void *p, size_t) noexcept { free(p); }
void operator delete[](void *p, size_t) noexcept { free(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { free(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { free(p); }
