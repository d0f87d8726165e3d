// An allocator wrapper for tests: programs linked with
// -Wl,--wrap=malloc,--wrap=calloc,--wrap=realloc,--wrap=free send the calls
// of their own objects (the library's included, not those of shared
// libraries) through it.  It can fail one chosen allocation and counts the
// blocks that are still allocated.
#ifndef OSTREL_TEST_FAILING_ALLOC_H
#define OSTREL_TEST_FAILING_ALLOC_H

#include <gtest/gtest.h>

#include <utility>

namespace failing_alloc {

// The n-th allocation from now on fails, and only that one; 0 fails none.
void fail_nth(long n);
// The call that failed since fail_nth: 'm'alloc, 'c'alloc or 'r'ealloc; 0
// when the chosen allocation was not reached.
char failed_call();
// Blocks allocated through the wrapper and not yet freed.
long live();

// What an operation gave, and the call that failed meanwhile (0: none).
template <class T> struct Outcome {
    T value;
    char failed;
};

// Runs op with its n-th allocation failing.
template <class Op> auto with_failing_alloc(long n, Op op) -> Outcome<decltype(op())>
{
    fail_nth(n);
    auto value = op();
    char call = failed_call();
    fail_nth(0);
    return {std::move(value), call};
}

// Fails each allocation of op in turn, n = 1, 2, ... until op runs without
// reaching the n-th: check(n, outcome) judges what op gave and releases it,
// and then no block may be left.  op must allocate at all.
template <class Op, class Check> void walk(Op op, Check check)
{
    for (long n = 1; n < 100000; n++) {
        long before = live();
        auto outcome = with_failing_alloc(n, op);
        check(n, outcome);
        EXPECT_EQ(live(), before) << "blocks leaked with allocation " << n << " failing";
        if (!outcome.failed) {
            EXPECT_GT(n, 1) << "no allocation to fail";
            return;
        }
        if (::testing::Test::HasFatalFailure())
            return;
    }
    ADD_FAILURE() << "no end to the walk";
}

} // namespace failing_alloc

#endif
