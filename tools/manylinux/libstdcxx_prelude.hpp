// Included before every C++ source of the manylinux build. libstdc++ was configured against
// the build machine's glibc; these waits and locks on a given clock arrived in glibc 2.30,
// so the headers fall back to the calls glibc 2.28 has.
#include <bits/c++config.h>
#undef _GLIBCXX_USE_PTHREAD_COND_CLOCKWAIT
#undef _GLIBCXX_USE_PTHREAD_MUTEX_CLOCKLOCK
#undef _GLIBCXX_USE_PTHREAD_RWLOCK_CLOCKLOCK
