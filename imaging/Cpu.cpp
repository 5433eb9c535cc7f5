#include "imaging/Cpu.h"

#include <atomic>

namespace {

unsigned Detect()
{
    unsigned features = 0;
#ifdef KVP_X86
    if (__builtin_cpu_supports("sse2"))
        features |= Cpu::Sse2;
    if (__builtin_cpu_supports("avx2"))
        features |= Cpu::Avx2;
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl"))
        features |= Cpu::Avx512;
    if (__builtin_cpu_supports("avx512vnni"))
        features |= Cpu::Avx512Vnni;
#endif
    return features;
}

std::atomic<unsigned> allowedFeatures{Cpu::All};

}   // namespace

bool Cpu::Has(unsigned features)
{
    static const unsigned detected = Detect();
    return (detected & allowedFeatures.load(std::memory_order_relaxed) & features) == features;
}

void Cpu::Limit(unsigned allowed)
{
    allowedFeatures.store(allowed, std::memory_order_relaxed);
}
