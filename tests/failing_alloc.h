// An allocator wrapper for tests: programs linked with
// -Wl,--wrap=malloc,--wrap=calloc,--wrap=realloc,--wrap=free send the calls
// of their own objects (the library's included, not those of shared
// libraries) through it.  It can fail one chosen allocation and counts the
// blocks that are still allocated.
#ifndef OSTREL_TEST_FAILING_ALLOC_H
#define OSTREL_TEST_FAILING_ALLOC_H

namespace failing_alloc {

// The n-th allocation from now on fails, and only that one; 0 fails none.
void fail_nth(long n);
// Whether the chosen allocation has failed since fail_nth.
bool failed();
// The call that failed: 'm'alloc, 'c'alloc or 'r'ealloc; 0 for none.
char failed_call();
// Allocations made since fail_nth.
long allocations();
// Blocks allocated through the wrapper and not yet freed.
long live();

} // namespace failing_alloc

#endif
