#include "tests/support.h"
TEST(test_trace, Builds) {}
