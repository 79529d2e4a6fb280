/* A test binary's own operator new and delete (over malloc and free), whose
 * allocations made by the SKF library on one thread can be made to fail:
 * the road of a real std::bad_alloc, or of a null from a nothrow new,
 * through the library.  Allocations of other code (the virtual token's
 * stand-ins among them) never fail. */
#pragma once

#include <stddef.h>

namespace skftest {

/* The library's nth operator new on this thread from now on (1: the next
 * one) fails; the others do not. */
void FailAllocationsFrom(unsigned int n);
/* The library's next operator new of at least nBytes on this thread fails
 * (a large buffer, such as the image of a large object); the others do not. */
void FailAllocationOfAtLeast(size_t nBytes);
void DisarmAllocationFailure();
/* Whether that allocation was made (and failed) since the arming. */
bool AllocationFailed();

}  // namespace skftest
