/* Debian's libstdc++ was configured for glibc, which has quick_exit and
   at_quick_exit; uClibc-ng has neither, and <cstdlib> would name them. */
#include_next <bits/c++config.h>
#undef _GLIBCXX_HAVE_AT_QUICK_EXIT
#undef _GLIBCXX_HAVE_QUICK_EXIT
