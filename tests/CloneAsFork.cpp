// ThreadSanitizer builds of the tests only.
//
// QProcess starts a program through clone() with CLONE_VM | CLONE_VFORK: the
// child runs in the test process's own memory, on the starting thread's
// thread-local state, until it executes the program. ThreadSanitizer does not
// know such a child; what the child's calls do to that thread's state stays,
// and from then on the thread's locks no longer reach ThreadSanitizer. Every
// object that thread shares under a lock afterwards (the reference service's
// script, say) is then reported as a race. Here such a start becomes a plain
// fork(), which ThreadSanitizer follows; the child still only runs QProcess's
// own child function and then ends with its result.

#if defined(__SANITIZE_THREAD__)
#define QUON_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QUON_THREAD_SANITIZER 1
#endif
#endif

#if defined(QUON_THREAD_SANITIZER)

#include <cstdarg>
#include <dlfcn.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#ifndef CLONE_PIDFD
#define CLONE_PIDFD 0x00001000
#endif

extern "C" int clone(int (*fn)(void*), void* stack, int flags, void* arg, ...)
{
    va_list more;
    va_start(more, arg);
    pid_t* parentTid = va_arg(more, pid_t*);
    void* tls = va_arg(more, void*);
    pid_t* childTid = va_arg(more, pid_t*);
    va_end(more);

    constexpr int kVforkLike = CLONE_VM | CLONE_VFORK;
    if ((flags & kVforkLike) == kVforkLike && !(flags & CLONE_THREAD) && (flags & CSIGNAL) == SIGCHLD) {
        const pid_t pid = ::fork();
        if (pid == 0)
            ::_exit(fn(arg));
        if (pid > 0 && (flags & CLONE_PIDFD)) {
            // The caller waits on the child through this descriptor.
            const long fd = ::syscall(SYS_pidfd_open, pid, 0);
            if (fd < 0)
                return -1;
            *reinterpret_cast<int*>(parentTid) = static_cast<int>(fd);
        }
        return pid;
    }
    using Clone = int (*)(int (*)(void*), void*, int, void*, ...);
    static const auto next = reinterpret_cast<Clone>(::dlsym(RTLD_NEXT, "clone"));
    return next(fn, stack, flags, arg, parentTid, tls, childTid);
}

#endif
