/* Preloaded into every process of the i386 root (/etc/ld.so.preload). qemu's user-mode emulator
 * writes -1 for the trap number of i386 signal frames; Wine's fault handlers read it to tell a
 * page fault, which Wine resolves itself (guard pages, faults caught by SEH), from an illegal
 * instruction, so under qemu every such fault killed the process. Each handler installed for a
 * fault signal is wrapped so that it finds the trap number the kernel would have written.
 * The wrapper runs on whatever %gs the interrupted code had: no TLS, no errno, no stack guard. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <string.h>
#include <sys/ucontext.h>

typedef int (*SigactionFn)(int, const struct sigaction*, struct sigaction*);

/* x86 exception vectors, as the kernel reports them in the trap number. */
enum {
  kTrapDivide = 0,
  kTrapDebug = 1,
  kTrapBreakpoint = 3,
  kTrapOverflow = 4,
  kTrapInvalidOpcode = 6,
  kTrapProtection = 13,
  kTrapPageFault = 14,
  kTrapFloatingPoint = 16,
  kTrapAlignment = 17,
};

/* The program's own action for each wrapped signal. */
static struct sigaction g_own[NSIG];

static int IsFaultSignal(int sig) {
  return sig == SIGSEGV || sig == SIGBUS || sig == SIGILL || sig == SIGFPE || sig == SIGTRAP;
}

static int TrapFor(int sig, const siginfo_t* info) {
  switch (sig) {
    case SIGSEGV: /* qemu raises a protection fault with SI_KERNEL, page faults with SEGV_* */
      return info->si_code == SI_KERNEL ? kTrapProtection : kTrapPageFault;
    case SIGBUS:
      return info->si_code == BUS_ADRALN ? kTrapAlignment : kTrapPageFault;
    case SIGILL:
      return kTrapInvalidOpcode;
    case SIGFPE:
      if (info->si_code == FPE_INTDIV) return kTrapDivide;
      if (info->si_code == FPE_INTOVF) return kTrapOverflow;
      return kTrapFloatingPoint;
    case SIGTRAP:
      return info->si_code == TRAP_TRACE ? kTrapDebug : kTrapBreakpoint;
  }
  return -1;
}

static void Wrapper(int sig, siginfo_t* info, void* context) {
  ucontext_t* uc = context;
  if (uc != NULL && info != NULL && uc->uc_mcontext.gregs[REG_TRAPNO] == -1)
    uc->uc_mcontext.gregs[REG_TRAPNO] = TrapFor(sig, info);
  const struct sigaction* own = &g_own[sig];
  if (own->sa_flags & SA_SIGINFO)
    own->sa_sigaction(sig, info, context);
  else if (own->sa_handler != SIG_DFL && own->sa_handler != SIG_IGN)
    own->sa_handler(sig);
}

int sigaction(int sig, const struct sigaction* act, struct sigaction* old) {
  static SigactionFn real;
  if (real == NULL) real = (SigactionFn)dlsym(RTLD_NEXT, "sigaction");
  if (sig <= 0 || sig >= NSIG || !IsFaultSignal(sig)) return real(sig, act, old);

  const struct sigaction previous = g_own[sig];
  int result;
  if (act != NULL && act->sa_handler != SIG_DFL && act->sa_handler != SIG_IGN) {
    struct sigaction mine = *act;
    mine.sa_sigaction = Wrapper;
    mine.sa_flags |= SA_SIGINFO;
    g_own[sig] = *act; /* before installing: the wrapper may run at once */
    result = real(sig, &mine, old);
    if (result != 0) g_own[sig] = previous;
  } else {
    result = real(sig, act, old);
  }
  /* The program gets back what it set, never the wrapper. */
  if (result == 0 && old != NULL && (old->sa_flags & SA_SIGINFO) && old->sa_sigaction == Wrapper) {
    *old = previous;
  }
  return result;
}

int __sigaction(int sig, const struct sigaction* act, struct sigaction* old) {
  return sigaction(sig, act, old);
}
