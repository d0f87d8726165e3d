// The allocator wrapper of failing_alloc.h.
#include "tests/failing_alloc.h"

#include <cstddef>

extern "C" {
void *__real_malloc(size_t size);
void *__real_calloc(size_t count, size_t size);
void *__real_realloc(void *p, size_t size);
void __real_free(void *p);
}

namespace {
long fail_at = 0, count = 0, blocks = 0;
char hit = 0;

// Counts one allocation; true when it is the one to fail.
bool fails(char call)
{
    count++;
    if (fail_at == 0 || count != fail_at)
        return false;
    hit = call;
    return true;
}
} // namespace

namespace failing_alloc {
void fail_nth(long n)
{
    fail_at = n;
    count = 0;
    hit = 0;
}
char failed_call() { return hit; }
long live() { return blocks; }
} // namespace failing_alloc

extern "C" {

void *__wrap_malloc(size_t size)
{
    void *p = fails('m') ? nullptr : __real_malloc(size);
    blocks += p != nullptr;
    return p;
}

void *__wrap_calloc(size_t count, size_t size)
{
    void *p = fails('c') ? nullptr : __real_calloc(count, size);
    blocks += p != nullptr;
    return p;
}

void *__wrap_realloc(void *old, size_t size)
{
    void *p = fails('r') ? nullptr : __real_realloc(old, size);
    blocks += p != nullptr && old == nullptr;
    return p;
}

void __wrap_free(void *p)
{
    blocks -= p != nullptr;
    __real_free(p);
}

} // extern "C"
