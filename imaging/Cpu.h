#pragma once

// Where the x86 paths are compiled at all; which of them run is Has's answer.
#if defined(__x86_64__) || defined(__i386__)
#define KVP_X86 1
#endif

// The processor's vector instructions, asked once. Every fast path of the
// raster operations and the best-match scan is chosen at run time through
// Has, so one build runs everywhere and each path can be tried on a
// processor that has the widest.
namespace Cpu {

enum Feature : unsigned {
    Sse2 = 1u << 0,
    Avx2 = 1u << 1,
    // AVX-512 F and BW with their 128- and 256-bit forms (VL): every
    // processor with the byte and word instructions has the shorter forms.
    Avx512 = 1u << 2,
    Avx512Vnni = 1u << 3,
    All = Sse2 | Avx2 | Avx512 | Avx512Vnni,
};

// True when the processor has every feature in features and none of them is
// withheld by Limit.
bool Has(unsigned features);

// Withholds every feature outside allowed (All gives them all back), so that
// tests and benchmarks can run the narrower paths too. Call it while no
// image operation or search runs.
void Limit(unsigned allowed);

}   // namespace Cpu
