/* glibc 2.32 added this header; the libstdc++ headers use it when present. For glibc 2.28
   the flag is defined by glibc_compat.c instead (always 0: the atomic paths are taken). */
#pragma once
#ifdef __cplusplus
extern "C" {
#endif
extern char __libc_single_threaded;
#ifdef __cplusplus
}
#endif
