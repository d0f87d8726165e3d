#include "tests/support.h"
TEST(test_handler, Builds) {}
