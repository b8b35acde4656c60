// TRV_AVX2_CLONES before a function builds it twice, for the x86-64 baseline
// and for processors with AVX2, and picks one when the library loads. Only
// for loops whose every operation rounds the same in both builds: AVX2
// brings no fused multiply-add, so nothing is contracted.
//
// ThreadSanitizer cannot load the clones' resolver: its builds take the
// baseline alone.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define TRV_AVX2_CLONES
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TRV_AVX2_CLONES
#endif
#endif
#ifndef TRV_AVX2_CLONES
#define TRV_AVX2_CLONES __attribute__((target_clones("avx2", "default")))
#endif
