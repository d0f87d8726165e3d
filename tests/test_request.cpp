#include "tests/support.h"
TEST(test_request, Builds) {}
