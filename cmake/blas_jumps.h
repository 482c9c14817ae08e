/* MORVAK_JUMP(name, offset) defines the function `name` as a tail jump
   through morvak_blas_table at byte `offset`: every register that carries
   arguments is left as the caller set it, so one form serves every
   signature. */
#if defined(__x86_64__)
#define MORVAK_JUMP(name, offset)                                                                  \
  __asm__(".text\n.globl " #name "\n.hidden " #name "\n.type " #name ", @function\n"             \
          ".p2align 4\n" #name ":\n\tjmp *morvak_blas_table+" #offset "(%rip)\n"                 \
          ".size " #name ", .-" #name "\n");
#elif defined(__aarch64__)
#define MORVAK_JUMP(name, offset)                                                                  \
  __asm__(".text\n.globl " #name "\n.hidden " #name "\n.type " #name ", %function\n"             \
          ".p2align 4\n" #name ":\n\tadrp x16, morvak_blas_table+" #offset "\n"                  \
          "\tldr x16, [x16, #:lo12:morvak_blas_table+" #offset "]\n\tbr x16\n"                    \
          ".size " #name ", .-" #name "\n");
#else
#error "no BLAS call table for this processor"
#endif
