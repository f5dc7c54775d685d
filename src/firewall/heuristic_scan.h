// The counting pass behind count_heuristics, with a choice of block kernel.
//
// All kernels give identical counts for every input; they differ only in
// how a 64-byte block is classified (one byte at a time, or by AVX2 nibble
// lookups, 32 or 64 bytes at a time). Tests run every kernel the processor
// has; count_heuristics uses the fastest.
#pragma once

#include <string_view>

#include "firewall/heuristics.h"

namespace veltar::firewall {

enum class ScanKernel {
  kPortable,  // plain C++, any target
  kAvx2,      // x86-64 with AVX2, BMI1 and POPCNT
  kAvx512,    // x86-64 with AVX-512 F and BW, BMI1 and POPCNT
};

// Whether `kernel` can run on this processor.
bool scan_kernel_available(ScanKernel kernel);

// The fastest available kernel; decided once per process.
ScanKernel best_scan_kernel();

// count_heuristics(text) computed with `kernel`, which must be available
// (otherwise throws Fault).
HeuristicCounts scan_text(std::string_view text, ScanKernel kernel);

}  // namespace veltar::firewall
