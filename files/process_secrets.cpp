// SPDX-License-Identifier: Apache-2.0
// Keeping private exponents out of a tool's process image.
#include "process_secrets.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>

namespace {

// Deeper than any of the tools' work below main goes, apart from the
// exponentiation, whose stack the codec wipes itself.
constexpr size_t EXIT_BURN_BYTES = 64 * 1024;

[[gnu::noinline]] void burn_stack_at_exit()
{
    unsigned char szBurn[EXIT_BURN_BYTES];
    explicit_bzero(szBurn, sizeof(szBurn));
    asm volatile("" : : "r"(szBurn) : "memory");
}

#if defined(__x86_64__)
// Zeroes the AVX-512 registers that VZEROALL leaves alone (glibc's string
// functions use them to copy key buffers).
[[gnu::target("avx512f")]] void clear_upper_vector_registers()
{
    asm volatile("vpxord %%zmm16, %%zmm16, %%zmm16\n\tvpxord %%zmm17, %%zmm17, %%zmm17\n\t"
                 "vpxord %%zmm18, %%zmm18, %%zmm18\n\tvpxord %%zmm19, %%zmm19, %%zmm19\n\t"
                 "vpxord %%zmm20, %%zmm20, %%zmm20\n\tvpxord %%zmm21, %%zmm21, %%zmm21\n\t"
                 "vpxord %%zmm22, %%zmm22, %%zmm22\n\tvpxord %%zmm23, %%zmm23, %%zmm23\n\t"
                 "vpxord %%zmm24, %%zmm24, %%zmm24\n\tvpxord %%zmm25, %%zmm25, %%zmm25\n\t"
                 "vpxord %%zmm26, %%zmm26, %%zmm26\n\tvpxord %%zmm27, %%zmm27, %%zmm27\n\t"
                 "vpxord %%zmm28, %%zmm28, %%zmm28\n\tvpxord %%zmm29, %%zmm29, %%zmm29\n\t"
                 "vpxord %%zmm30, %%zmm30, %%zmm30\n\tvpxord %%zmm31, %%zmm31, %%zmm31"
                 :
                 :
                 : "xmm16", "xmm17", "xmm18", "xmm19", "xmm20", "xmm21", "xmm22", "xmm23", "xmm24", "xmm25",
                   "xmm26", "xmm27", "xmm28", "xmm29", "xmm30", "xmm31");
}

// Zeroes every vector register this processor has.
[[gnu::target("avx")]] void clear_vector_registers_of_cpu()
{
    if (__builtin_cpu_supports("avx512f")) {
        clear_upper_vector_registers();
    }
    if (__builtin_cpu_supports("avx")) {
        asm volatile("vzeroall" : : : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8",
                     "xmm9", "xmm10", "xmm11", "xmm12", "xmm13", "xmm14", "xmm15");
    } else {
        asm volatile("pxor %%xmm0, %%xmm0\n\tpxor %%xmm1, %%xmm1\n\tpxor %%xmm2, %%xmm2\n\tpxor %%xmm3, %%xmm3\n\t"
                     "pxor %%xmm4, %%xmm4\n\tpxor %%xmm5, %%xmm5\n\tpxor %%xmm6, %%xmm6\n\tpxor %%xmm7, %%xmm7\n\t"
                     "pxor %%xmm8, %%xmm8\n\tpxor %%xmm9, %%xmm9\n\tpxor %%xmm10, %%xmm10\n\tpxor %%xmm11, %%xmm11\n\t"
                     "pxor %%xmm12, %%xmm12\n\tpxor %%xmm13, %%xmm13\n\tpxor %%xmm14, %%xmm14\n\t"
                     "pxor %%xmm15, %%xmm15"
                     :
                     :
                     : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10",
                       "xmm11", "xmm12", "xmm13", "xmm14", "xmm15");
    }
}
#else
void clear_vector_registers_of_cpu() {}
#endif

} // namespace

void process_open_standard_descriptors()
{
    for (int fd = 0; fd <= 2; fd++) {
        // The lowest free descriptor: fd, as those below it are open.
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF && open("/dev/null", O_RDWR) != fd) {
            abort();
        }
    }
}

void secrets_protect_process()
{
    prctl(PR_SET_DUMPABLE, 0);
}

void secrets_clear_registers()
{
    clear_vector_registers_of_cpu();
}

void secrets_wipe_at_exit()
{
    burn_stack_at_exit();
    secrets_clear_registers();
}
