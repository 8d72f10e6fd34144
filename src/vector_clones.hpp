// QUILLMAT_VECTOR_CLONES compiles a function twice, for AVX2 and for the
// x86-64 baseline, and the loader picks one for the machine (GCC's and
// clang's target_clones).  That needs an ifunc-capable loader: glibc on
// x86-64.  Elsewhere (musl, macOS, other architectures) the baseline build
// is the only one, and the compiler vectorizes it for what the target has.
#pragma once

#include <cstddef>  // defines __GLIBC__ on glibc

#if defined(__x86_64__) && defined(__GNUC__) && defined(__GLIBC__)
#define QUILLMAT_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define QUILLMAT_VECTOR_CLONES
#endif
