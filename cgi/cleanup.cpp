// Files that must not outlive the process: the spool files, and one further
// file that the caller stores through the library (the handler's copy).
//
// A web server ends a program whose client went away with a signal: Apache
// closes its input and sends SIGTERM about a millisecond later, mini_httpd
// leaves it the SIGALRM of its own timeout.  Without a handler, 12 to 14 of
// 16 aborted uploads left their spool file, and "/tmp/" is memory on the
// device.  So every such file is registered here while it exists, and a
// handler of the signals that end a process by default deletes them first.
// It is installed with the first file and goes again at the first release
// that leaves none (not with every file: a body of many dropped parts would
// pay twelve calls a part).
//
// The registry's own steps (create, rename, delete) run with every signal
// blocked, so a handler never sees one half done, and never deletes a name
// that a rename gave up (another process's mkstemp may take it at once).  A
// caller may still rename or delete a spool file by itself: its entry then
// names a file that is gone or is another one, which the handler passes over
// (device and inode tell) and the release forgets.
#include "cgi/internal.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const int fatal_signals[] = {SIGTERM, SIGHUP, SIGINT, SIGPIPE, SIGALRM, SIGXFSZ};
const size_t signal_count = sizeof fatal_signals / sizeof *fatal_signals;

// Slots 0 to max_spool_files - 1 hold spool files, the last one the further
// file.  An entry is written whole before it is marked live.
struct Entry {
    dev_t dev;
    ino_t ino;
    pid_t pid; // a forked child's handler leaves its parent's files alone
    volatile sig_atomic_t live;
};
const size_t slots = ostrel::max_spool_files + 1;
Entry entries[slots];
char spool_names[ostrel::max_spool_files][32];
char further_name[PATH_MAX];

char *name_of(size_t i) { return i < ostrel::max_spool_files ? spool_names[i] : further_name; }
size_t room_of(size_t i) { return i < ostrel::max_spool_files ? sizeof *spool_names : sizeof further_name; }

// True while the entry's name leads to the file that was registered.
bool still_there(size_t i)
{
    struct stat st;
    return lstat(name_of(i), &st) == 0 && st.st_dev == entries[i].dev && st.st_ino == entries[i].ino;
}

bool any_live()
{
    for (size_t i = 0; i < slots; i++)
        if (entries[i].live)
            return true;
    return false;
}

// The live entry called `path`, or slots.
size_t find(const char *path)
{
    for (size_t i = 0; i < slots; i++)
        if (entries[i].live && std::strcmp(name_of(i), path) == 0)
            return i;
    return slots;
}

// A free slot of the kind with room for a name of `length` bytes, or slots.
size_t free_slot(bool spool, size_t length)
{
    size_t first = spool ? 0 : ostrel::max_spool_files, last = spool ? ostrel::max_spool_files : slots;
    for (size_t i = first; i < last; i++)
        if (!entries[i].live && length < room_of(i))
            return i;
    return slots;
}

void forget_moved()
{
    for (size_t i = 0; i < slots; i++)
        if (entries[i].live && !still_there(i))
            entries[i].live = 0;
}

// Blocks every signal for one step of the registry.
class Blocked {
public:
    Blocked()
    {
        sigset_t all;
        sigfillset(&all);
        sigprocmask(SIG_BLOCK, &all, &old_);
    }
    ~Blocked() { sigprocmask(SIG_SETMASK, &old_, nullptr); }
    Blocked(const Blocked &) = delete;
    Blocked &operator=(const Blocked &) = delete;

private:
    sigset_t old_;
};

// ---- The handler -----------------------------------------------------------

extern "C" void on_fatal_signal(int sig)
{
    cgi_remove_spool_files();
    // Then the signal's default action: the web server sees the death by
    // that signal that it caused.
    struct sigaction dfl;
    std::memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    raise(sig); // pending: blocked while the handler runs, until just below
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

// What the handler replaced, while it is installed.
struct sigaction previous[signal_count];
bool installed[signal_count];
bool handler_on;

bool is_ours(const struct sigaction &sa) { return !(sa.sa_flags & SA_SIGINFO) && sa.sa_handler == on_fatal_signal; }

// Only over a default disposition: a handler of the caller's, or an ignored
// SIGPIPE, stays.  One call swaps each, and a second puts back one that was
// not the default; every signal is blocked meanwhile, so none sees it.
void install_handler()
{
    struct sigaction ours;
    std::memset(&ours, 0, sizeof ours);
    ours.sa_handler = on_fatal_signal;
    sigfillset(&ours.sa_mask);
    for (size_t i = 0; i < signal_count; i++) {
        if (sigaction(fatal_signals[i], &ours, &previous[i]) != 0)
            continue;
        installed[i] = !(previous[i].sa_flags & SA_SIGINFO) && previous[i].sa_handler == SIG_DFL;
        if (!installed[i])
            sigaction(fatal_signals[i], &previous[i], nullptr);
    }
    handler_on = true;
}

// Puts back what the handler replaced, unless the caller has since put a
// disposition of its own there.
void restore_handler()
{
    for (size_t i = 0; i < signal_count; i++) {
        struct sigaction now;
        if (installed[i] && sigaction(fatal_signals[i], &previous[i], &now) == 0 && !is_ours(now))
            sigaction(fatal_signals[i], &now, nullptr);
        installed[i] = false;
    }
    handler_on = false;
}

} // namespace

namespace ostrel {

int create_file(char *tmpl, bool spool)
{
    size_t length = std::strlen(tmpl);
    Blocked blocked;
    size_t i = free_slot(spool, length);
    if (i == slots) { // entries of files that the caller moved?
        forget_moved();
        i = free_slot(spool, length);
    }
    if (i == slots) {
        errno = EMFILE;
        return -1;
    }
    int fd = mkstemp(tmpl);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close(fd);
        unlink(tmpl);
        return -1;
    }
    Entry &e = entries[i];
    std::memcpy(name_of(i), tmpl, length + 1);
    e.dev = st.st_dev;
    e.ino = st.st_ino;
    e.pid = getpid();
    std::atomic_signal_fence(std::memory_order_seq_cst);
    e.live = 1;
    if (!handler_on)
        install_handler();
    return fd;
}

int remove_file(const char *path)
{
    Blocked blocked;
    int result = unlink(path);
    size_t i = find(path);
    if (i < slots)
        entries[i].live = 0;
    return result;
}

int rename_file(const char *from, const char *to)
{
    Blocked blocked;
    int result = std::rename(from, to);
    size_t i = result == 0 ? find(from) : slots;
    if (i < slots)
        entries[i].live = 0;
    return result;
}

void forget_moved_files()
{
    if (!handler_on)
        return;
    Blocked blocked;
    forget_moved();
    if (!any_live())
        restore_handler();
}

} // namespace ostrel

extern "C" void cgi_remove_spool_files(void)
{
    pid_t self = getpid();
    for (size_t i = 0; i < slots; i++) {
        if (!entries[i].live || entries[i].pid != self)
            continue;
        std::atomic_signal_fence(std::memory_order_seq_cst);
        if (still_there(i))
            unlink(name_of(i));
        entries[i].live = 0;
    }
}
