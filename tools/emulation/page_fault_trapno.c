/*
 * Preloaded into 32-bit programs that run under qemu's user-mode emulator.
 *
 * qemu leaves the trap number at -1 in the signal context it builds for a
 * page fault. Wine decides from that number what a SIGSEGV was, and takes -1
 * for an illegal instruction: every access violation and guard-page hit then
 * reaches Windows code as EXCEPTION_ILLEGAL_INSTRUCTION. A page fault is trap
 * 14 on x86; this wrapper puts that number in before the program's own
 * SIGSEGV handler runs. Faults the kernel did not report as a page fault
 * (si_code other than SEGV_MAPERR or SEGV_ACCERR) are passed on untouched.
 *
 * Built with gcc -m32 -shared by tools/emulation/setup.sh and preloaded only
 * where the CPU is emulated (tools/wine.sh).
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <stddef.h>
#include <stdlib.h>
#include <ucontext.h>

enum { kPageFaultTrap = 14 };

typedef int (*sigaction_fn)(int, const struct sigaction *, struct sigaction *);

/* The program's own handler, called after the trap number is set. */
static void (*program_handler)(int, siginfo_t *, void *);

/* qemu sets LD_PRELOAD again in every emulated child, since QEMU_SET_ENV is
 * inherited; a native child (the shell script that starts wineserver) would
 * only complain that the library is of the wrong class. */
__attribute__((constructor)) static void forget_preload(void) { unsetenv("LD_PRELOAD"); }

static sigaction_fn real_sigaction(void) {
  static sigaction_fn real;
  if (!real) real = (sigaction_fn)dlsym(RTLD_NEXT, "sigaction");
  return real;
}

static void on_segv(int sig, siginfo_t *info, void *context) {
  ucontext_t *uc = (ucontext_t *)context;
  if (info && uc && (info->si_code == SEGV_MAPERR || info->si_code == SEGV_ACCERR))
    uc->uc_mcontext.gregs[REG_TRAPNO] = kPageFaultTrap;
  program_handler(sig, info, context);
}

int sigaction(int sig, const struct sigaction *act, struct sigaction *old) {
  sigaction_fn real = real_sigaction();
  if (!real) return -1;
  if (sig != SIGSEGV) return real(sig, act, old);

  struct sigaction wrapped;
  const struct sigaction *install = act;
  void (*previous)(int, siginfo_t *, void *) = program_handler;
  if (act && (act->sa_flags & SA_SIGINFO) && act->sa_handler != SIG_DFL &&
      act->sa_handler != SIG_IGN) {
    wrapped = *act;
    wrapped.sa_sigaction = on_segv;
    install = &wrapped;
    /* Set before the wrapper can run. */
    program_handler = act->sa_sigaction;
  }
  int result = real(sig, install, old);
  if (result != 0) {
    program_handler = previous;
    return result;
  }
  /* The caller sees its own handler, never the wrapper. */
  if (old && (old->sa_flags & SA_SIGINFO) && old->sa_sigaction == on_segv)
    old->sa_sigaction = previous;
  return 0;
}
