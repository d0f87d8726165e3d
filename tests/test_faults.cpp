// Faults from outside: a full "/tmp/" while spooling and while storing, no
// spool file to be had, and input that fails or ends early in every reader.
#include "cgi/internal.h"
#include "handler/upload.h"
#include "tests/support.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/resource.h>

namespace {

const char boundary[] = "----faultXyZ";
const std::string upload_type = std::string("multipart/form-data; boundary=") + boundary;
const char *const not_stored = "Location: ./faxsnd.cgi?action=upload&work=ok\n\n";

// In a forked child: runs faxupload.cgi on an upload with standard input
// `in` and standard output into out_path.  Never returns.
[[noreturn]] void exec_upload(int in, const std::string &out_path)
{
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(in, 0);
    dup2(out, 1);
    std::string type = "CONTENT_TYPE=" + upload_type;
    char method[] = "REQUEST_METHOD=POST";
    char *envp[] = {method, &type[0], nullptr};
    char *argv[] = {const_cast<char *>(FAXUPLOAD_PATH), nullptr};
    execve(FAXUPLOAD_PATH, argv, envp);
    _exit(127);
}

std::string document(size_t n)
{
    std::string d;
    for (size_t i = 0; i < n; i++)
        d += static_cast<char>(i * 13 % 256);
    return d;
}

std::string upload_body(const std::string &receiver, const std::string &data)
{
    return test::multipart_body(boundary,
                                {{"fxreceiver", receiver}, {"fxdatei", data, "fax.sff", "application/octet-stream"}});
}

class Faults : public test::SpoolWatch {
protected:
    std::string receiver() const { return "fault" + std::to_string(getpid()); }
    std::string dest() const { return "/tmp/" + receiver() + ".fax.sff.sff"; }
    void TearDown() override
    {
        unlink(dest().c_str());
        test::SpoolWatch::TearDown();
    }
};

TEST_F(Faults, FullTmpWhileSpooling)
{
    // The run's own stdin and stdout files are written before the limit
    // applies (in the parent of run_program's child), so only the spool is
    // cut short.
    std::string data = document(200000);
    test::TempDir dir;
    std::string in_path = dir.file("in"), out_path = dir.file("out");
    test::write_file(in_path, upload_body(receiver(), data));
    pid_t pid = fork();
    if (pid == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {65536, 65536};
        setrlimit(RLIMIT_FSIZE, &limit);
        exec_upload(open(in_path.c_str(), O_RDONLY), out_path);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << "the program did not exit: " << status;
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(test::read_file(out_path), not_stored);
    EXPECT_FALSE(test::file_exists(dest()));
    EXPECT_TRUE(new_spool_files().empty());
}

// The store renames the spool file into place: on one file system it writes
// nothing and cannot meet a full disk.  Only the copy that replaces the
// rename when it fails can; here the rename fails because the destination is
// a mount point, and "/tmp/" is a file system with room for the spool file
// and the spool's reserve (2 MiB) but not for a second copy.
TEST_F(Faults, FullTmpWhileCopying)
{
    if (getuid() != 0 || std::system("unshare --mount --propagation private true 2>/dev/null") != 0)
        GTEST_SKIP() << "needs root and mount namespaces";
    test::TempDir dir;
    std::string in_path = dir.file("in"), out_path = dir.file("out"), list_path = dir.file("tmp-after");
    std::string data = document(3 << 20);
    test::write_file(in_path, upload_body(receiver(), data));
    // The files outside are opened before the new "/tmp/" hides them.  A
    // program under "/tmp/" (a checkout there) comes back through the old
    // "/tmp/", held open, bound at its own path; the listing leaves it out.
    std::string script = "exec 3<\"$4\" 4>\"$5\" 5>\"$6\" 6</tmp || exit 92\n"
                         "top=; case $2 in /tmp/*) top=${2#/tmp/}; top=${top%%/*};; esac\n"
                         "mount -t tmpfs -o size=5632k ostrel-fault /tmp || exit 90\n"
                         "if [ -n \"$top\" ]; then mkdir \"/tmp/$top\" && mount --no-canonicalize --bind "
                         "\"/proc/self/fd/6/$top\" \"/tmp/$top\" || exit 93; fi\n"
                         "exec 6<&-\n"
                         "if [ \"$7\" = bind ]; then echo old > \"$1\" && mount --bind \"$1\" \"$1\" || exit 91; fi\n"
                         "env -i REQUEST_METHOD=POST \"CONTENT_TYPE=$3\" \"$2\" <&3 >&4\n"
                         "status=$?\n"
                         "ls -A /tmp | grep -vxF \"$top\" >&5; cat \"$1\" >&5\n"
                         "exit $status\n";
    auto run = [&](const char *mode) {
        std::string command = "unshare --mount --propagation private sh -c '" + script + "' sh '" + dest() + "' '" +
            FAXUPLOAD_PATH + "' '" + upload_type + "' '" + in_path + "' '" + out_path + "' '" + list_path + "' " + mode;
        int status = std::system(command.c_str());
        EXPECT_TRUE(WIFEXITED(status));
        EXPECT_LT(WEXITSTATUS(status), 90) << "namespace set-up failed";
        return WEXITSTATUS(status);
    };
    // That "/tmp/" holds the spool file: renamed into place, it is stored.
    EXPECT_EQ(run("plain"), 0);
    EXPECT_TRUE(test::read_file(list_path) == dest().substr(5) + "\n" + data);
    // Not renamed, the copy runs out of room.
    EXPECT_EQ(run("bind"), 1);
    EXPECT_EQ(test::read_file(out_path), not_stored);
    // Only the destination is left there, untouched: no spool file and no
    // partial copy.
    EXPECT_EQ(test::read_file(list_path), dest().substr(5) + "\nold\n");
}

// mkstemp fails when no file descriptor is left.  The part is dropped, and
// its data is still consumed: left on the stream, its lines would be read as
// more headers and values.
TEST_F(Faults, NoSpoolFileToBeHad)
{
    std::string body = test::multipart_body(boundary,
                                            {{"fxreceiver", "123"},
                                             {"fxdatei",
                                              "line\r\n\r\ndata after an empty line\r\nContent-Disposition: form-data; "
                                              "name=\"forged\"\r\n\r\nforged value",
                                              "fax.sff"},
                                             {"after", "value"}});
    FILE *in = fmemopen(&body[0], body.size(), "rb");
    ASSERT_NE(in, nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int lowest = dup(0);
        close(lowest);
        struct rlimit limit = {static_cast<rlim_t>(lowest), static_cast<rlim_t>(lowest)};
        setrlimit(RLIMIT_NOFILE, &limit);
        int probe = open("/dev/null", O_RDONLY);
        if (probe >= 0) // the limit does not hold here (valgrind keeps its own)
            _exit(77);
        cgi_request *req = ostrel::read_multipart(in, (std::string("--") + boundary).c_str());
        bool ok = test::describe(req) == "var fxreceiver=123\nvar after=value\n";
        cgi_free_request(req);
        _exit(ok ? 0 : 1);
    }
    std::fclose(in);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "RLIMIT_NOFILE does not hold in this process";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the file data was read as parts or values: " << status;
}

// ---- Input that fails or ends early -------------------------------------

// A stream over `data` that ends, or fails with EIO, after `stop` bytes.
struct Source {
    std::string data;
    size_t stop;
    bool fail;
    size_t pos = 0;
};

ssize_t source_read(void *cookie, char *buf, size_t size)
{
    Source *s = static_cast<Source *>(cookie);
    if (s->pos >= s->stop) {
        if (!s->fail)
            return 0;
        errno = EIO;
        return -1;
    }
    size_t n = std::min(size, s->stop - s->pos);
    std::memcpy(buf, s->data.data() + s->pos, n);
    s->pos += n;
    return static_cast<ssize_t>(n);
}

FILE *open_source(Source &s)
{
    cookie_io_functions_t io = {source_read, nullptr, nullptr, nullptr};
    FILE *f = fopencookie(&s, "r", io);
    EXPECT_NE(f, nullptr);
    return f;
}

// What a reader made of its input, to compare a read error with an end.
using Outcome = std::vector<std::string>;

Outcome record_outcome(cgi_request *req)
{
    Outcome o = req ? test::entries(req) : Outcome{"no request"};
    cgi_free_request(req);
    return o;
}

// Runs `read` on a stream that stops after `stop` bytes.
template <class Read> Outcome on_source(const std::string &data, size_t stop, bool fail, Read read)
{
    Source s{data, stop, fail};
    FILE *in = open_source(s);
    Outcome o = read(in);
    std::fclose(in);
    return o;
}

class EarlyEnd : public test::SpoolWatch {};

// A read error ends the reading exactly as the end of the input does, at
// every position, in the line reader, the spool and the multipart reader.
TEST_F(EarlyEnd, ReadErrorIsTheEndOfInput)
{
    std::string data = document(300);
    std::string body = "preamble\r\n" +
        test::multipart_body(boundary,
                             {{"fxreceiver", "123"},
                              {"note", std::string(200, 'n') + "\r\nline two"},
                              {"fxdatei", data, "fax.sff"},
                              {"after", "value"}});
    std::string arg = std::string("--") + boundary;
    for (size_t stop = 0; stop <= body.size(); stop++) {
        auto lines = [&](bool fail) {
            Source s{body, stop, fail};
            FILE *in = open_source(s);
            Outcome o;
            while (const char *line = cgi_read_line(in))
                o.push_back(line);
            std::fclose(in);
            return o;
        };
        EXPECT_EQ(lines(true), lines(false)) << "line reader, stop " << stop;

        auto spool = [&](bool fail) {
            Source s{data + "\r\n" + arg + "--\r\n", std::min(stop, data.size() + 40), fail};
            FILE *in = open_source(s);
            char *path = cgi_spool_part(in, arg.c_str());
            std::fclose(in);
            Outcome o = {path ? test::read_file(path) : "(null)"};
            if (path)
                unlink(path);
            std::free(path);
            return o;
        };
        EXPECT_EQ(spool(true), spool(false)) << "spool, stop " << stop;

        auto multipart = [&](bool fail) {
            return on_source(body, stop, fail,
                             [&](FILE *in) { return record_outcome(ostrel::read_multipart(in, arg.c_str())); });
        };
        Outcome ended = multipart(false);
        EXPECT_EQ(multipart(true), ended) << "multipart reader, stop " << stop;
        // The file part is stored whole or not at all.
        for (const auto &entry : ended)
            if (entry.rfind("upload ", 0) == 0) {
                EXPECT_EQ(entry, "upload fxdatei (fax.sff, no type): " + data) << "stop " << stop;
            }
    }
}

TEST_F(EarlyEnd, UrlEncodedReaders)
{
    std::string pairs = "a=1&b=" + std::string(150, 'b') + "&c=3";
    std::string length = std::to_string(pairs.size());
    std::string lines = "a=1\nb=2\nc=" + std::string(50, 'c') + "\nd=4";
    const ostrel::FormInput post_vars{nullptr, "POST", length.c_str(), nullptr}, console_vars{};
    for (size_t stop = 0; stop <= pairs.size(); stop++) {
        auto post = [&](bool fail) {
            return on_source(pairs, stop, fail,
                             [&](FILE *in) { return record_outcome(ostrel::read_form(in, post_vars)); });
        };
        Outcome ended = post(false);
        EXPECT_EQ(post(true), ended) << "POST body, stop " << stop;
        // What arrived, and nothing more; no byte at all gives an empty list.
        Outcome arrived = {"no variables"};
        if (stop) {
            std::string query = pairs.substr(0, stop); // GET reads no stream
            arrived = record_outcome(ostrel::read_form(nullptr, {nullptr, "GET", nullptr, query.c_str()}));
        }
        EXPECT_EQ(ended, arrived) << "POST body, stop " << stop;
    }
    for (size_t stop = 0; stop <= lines.size(); stop++) {
        auto console = [&](size_t at, bool fail) {
            Outcome o;
            test::capture_stdout([&] {
                o = on_source(lines, at, fail,
                              [&](FILE *in) { return record_outcome(ostrel::read_form(in, console_vars)); });
            });
            return o;
        };
        // A failed read loses the line that it broke off; an end keeps it.
        size_t line_start = stop == 0 ? 0 : lines.rfind('\n', stop - 1);
        line_start = line_start == std::string::npos ? 0 : (stop == 0 ? 0 : line_start + 1);
        EXPECT_EQ(console(stop, true), console(line_start, false)) << "console, stop " << stop;
    }
}

// The program on a body cut short at every position: the document is stored
// whole once its closing delimiter has arrived, and never before.
TEST_F(Faults, ProgramOnABodyCutShort)
{
    std::string data = document(100) + "\r\n--" + "\r\n";
    std::string body = upload_body(receiver(), data);
    size_t complete =
        body.find("\r\n--" + std::string(boundary), body.find(data) + data.size() - 1) + 4 + std::strlen(boundary);
    ASSERT_LT(complete, body.size());
    std::map<std::string, std::string> env = {{"REQUEST_METHOD", "POST"}, {"CONTENT_TYPE", upload_type}};
    // Every cut around a line end and around the closing delimiter, and some
    // in between: each is one run of the program.
    std::set<size_t> stops = {0, body.size()};
    for (size_t i = 0; i < body.size(); i++)
        if (body[i] == '\n' || i % 40 == 0 || (i + 3 >= complete && i <= complete + 3))
            stops.insert({i - std::min<size_t>(i, 2), i - std::min<size_t>(i, 1), i, i + 1});
    for (size_t stop : stops) {
        if (stop > body.size())
            continue;
        test::Run r = test::run_program(FAXUPLOAD_PATH, env, body.substr(0, stop));
        if (stop >= complete) {
            EXPECT_EQ(r.status, 0) << "stop " << stop;
            EXPECT_TRUE(test::read_file(dest()) == data) << "stop " << stop;
        } else {
            EXPECT_EQ(r.status, 1) << "stop " << stop;
            EXPECT_EQ(r.out, not_stored) << "stop " << stop;
            EXPECT_FALSE(test::file_exists(dest())) << "stop " << stop;
        }
        unlink(dest().c_str());
    }
    EXPECT_TRUE(new_spool_files().empty());
}

// Standard input that cannot be read at all (a directory).
TEST_F(Faults, ProgramWithUnreadableInput)
{
    test::TempDir dir;
    std::string out_path = dir.file("out");
    pid_t pid = fork();
    if (pid == 0) {
        exec_upload(open("/", O_RDONLY | O_DIRECTORY), out_path);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_EQ(test::read_file(out_path), not_stored);
    EXPECT_TRUE(new_spool_files().empty());
}

// 100 000 parts: value parts of distinct names, and file parts with empty
// file names, each spooled and dropped.  All in one reading, nothing left.
TEST_F(EarlyEnd, HundredThousandParts)
{
    std::string body;
    for (int i = 0; i < 100000; i++) {
        body +=
            std::string("--") + boundary + "\r\nContent-Disposition: form-data; name=\"v" + std::to_string(i) + "\"";
        body += i % 10 == 9 ? "; filename=\"\"\r\n\r\nfile data\r\n" : "\r\n\r\n" + std::to_string(i) + "\r\n";
    }
    body += std::string("--") + boundary + "--\r\n";
    FILE *in = fmemopen(&body[0], body.size(), "rb");
    ASSERT_NE(in, nullptr);
    cgi_request *req = ostrel::read_multipart(in, (std::string("--") + boundary).c_str());
    std::fclose(in);
    ASSERT_NE(req, nullptr);
    size_t n = 0;
    for (cgi_var **v = req->variables; v && *v; v++, n++)
        ASSERT_EQ((*v)->name, "v" + std::string((*v)->value)) << n;
    EXPECT_EQ(n, 90000u);
    EXPECT_EQ(req->uploads, nullptr);
    EXPECT_TRUE(new_spool_files().empty());
    cgi_free_request(req);
}

// Percent-encoded slashes are decoded before the names are checked.
TEST_F(Faults, EncodedTraversalIsRefused)
{
    std::map<std::string, std::string> env = {{"REQUEST_METHOD", "POST"}, {"CONTENT_TYPE", upload_type}};
    const std::pair<std::string, std::string> cases[] = {
        {"..%2F..%2Fetc%2F" + receiver(), "fax.sff"},
        {receiver() + "%0d%0aX-Evil: 1", "fax.sff"},
    };
    for (const auto &c : cases) {
        std::string body =
            test::multipart_body(boundary, {{"fxreceiver", c.first}, {"fxdatei", "data", c.second.c_str()}});
        test::Run r = test::run_program(FAXUPLOAD_PATH, env, body);
        EXPECT_EQ(r.status, 1) << c.first;
        EXPECT_EQ(r.out, not_stored) << c.first;
        EXPECT_FALSE(test::file_exists("/etc/" + receiver() + ".fax.sff.sff"));
    }
    // A file name's encoded slash only cuts it: the document stays in "/tmp/".
    std::string body =
        test::multipart_body(boundary, {{"fxreceiver", receiver()}, {"fxdatei", "data", "..%2F..%2Fetc%2Ffax.sff"}});
    test::Run r = test::run_program(FAXUPLOAD_PATH, env, body);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(test::read_file(dest()), "data");
    EXPECT_TRUE(new_spool_files().empty());
}

// ---- Signals that end the program ------------------------------------------

const int fatal_signals[] = {SIGTERM, SIGHUP, SIGINT, SIGPIPE, SIGALRM, SIGXFSZ};

// In a forked child: the signal's default action, as a web server may leave
// it, and no core file for SIGXFSZ.
void default_action(int sig)
{
    std::signal(sig, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    struct rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
}

// The spool file that process `pid` holds open, once it has one ("" after
// some seconds without).  Found through /proc, so that spool files of other
// processes never count.
std::string spool_file_of(pid_t pid)
{
    std::string dir = "/proc/" + std::to_string(pid) + "/fd/";
    for (int tries = 0; tries < 30000; tries++) {
        for (int fd = 0; fd < 64; fd++) {
            char target[256];
            ssize_t n = readlink((dir + std::to_string(fd)).c_str(), target, sizeof target - 1);
            if (n > 0 && std::string(target, static_cast<size_t>(n)).rfind("/tmp/ostrel", 0) == 0)
                return std::string(target, static_cast<size_t>(n));
        }
        usleep(1000);
    }
    return "";
}

// A client that goes away in the middle of its document: the program, blocked
// reading the rest, is ended by a signal; it dies of that signal and its
// spool file goes with it.
TEST_F(Faults, SignalWhileReadingLeavesNoSpoolFile)
{
    std::string body = upload_body(receiver(), document(100000));
    std::string head = body.substr(0, body.find("fax.sff") + 5000);
    test::TempDir dir;
    for (int sig : fatal_signals) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        pid_t pid = fork();
        if (pid == 0) {
            close(fds[1]);
            default_action(sig);
            exec_upload(fds[0], dir.file("out"));
        }
        close(fds[0]);
        ASSERT_EQ(write(fds[1], head.data(), head.size()), static_cast<ssize_t>(head.size()));
        std::string spool = spool_file_of(pid);
        kill(pid, sig);
        int status = 0;
        waitpid(pid, &status, 0);
        close(fds[1]);
        EXPECT_FALSE(spool.empty()) << "signal " << sig << ": no spool file seen";
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << "signal " << sig << ": status " << status;
        EXPECT_FALSE(!spool.empty() && test::file_exists(spool)) << "signal " << sig << ": " << spool << " left";
    }
}

// In the middle of storing by copy: the copy outgrows the file size limit and
// SIGXFSZ ends the process; neither the copy's new file beside the
// destination nor the request's spool file is left.  (The program itself
// cannot be brought there: its spool file is as large as the copy.)
TEST_F(Faults, SignalWhileCopyingLeavesNoFile)
{
    test::TempDir dir;
    std::string src = dir.file("src"), dst = dir.file("dst"), named = dir.file("spool");
    test::write_file(src, document(200000));
    pid_t pid = fork();
    if (pid == 0) {
        default_action(SIGXFSZ);
        char body[] = "data\r\n--b--\r\n";
        FILE *in = fmemopen(body, sizeof body - 1, "rb");
        char *spool = in ? cgi_spool_part(in, "--b") : nullptr;
        FILE *out = std::fopen(named.c_str(), "wb");
        if (!spool || !out || std::fputs(spool, out) < 0 || std::fclose(out) != 0)
            _exit(1);
        struct rlimit limit = {65536, 65536};
        setrlimit(RLIMIT_FSIZE, &limit);
        copy_file(src.c_str(), dst.c_str());
        _exit(2);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;
    std::string spool = test::read_file(named);
    EXPECT_EQ(spool.rfind("/tmp/ostrel", 0), 0u) << spool;
    EXPECT_FALSE(test::file_exists(spool));
    glob_t g;
    EXPECT_EQ(glob(dir.file("*").c_str(), 0, nullptr, &g), 0);
    std::vector<std::string> left(g.gl_pathv, g.gl_pathv + g.gl_pathc);
    globfree(&g);
    EXPECT_EQ(left, (std::vector<std::string>{named, src}));
}

// One file part of a stream: its spool path (null when not stored), and
// what is left to read behind its delimiter line.
std::pair<char *, std::string> spool_one()
{
    char body[] = "data\r\n--b\r\nrest";
    FILE *in = fmemopen(body, sizeof body - 1, "rb");
    EXPECT_NE(in, nullptr);
    char *path = cgi_spool_part(in, "--b");
    char rest[16] = "";
    size_t n = std::fread(rest, 1, sizeof rest, in);
    std::fclose(in);
    return {path, std::string(rest, n)};
}

void (*handler_of(int sig))(int)
{
    struct sigaction sa;
    sigaction(sig, nullptr, &sa);
    return sa.sa_handler;
}

extern "C" void own_handler(int) {}

// Signal handlers of the program's own, and an ignored SIGPIPE, stay as they
// are; the library's handler is there only while a spool file is, and where
// the program sets a handler meanwhile, that one stays.
TEST_F(Faults, OwnSignalDispositionsAreKept)
{
    const int sigs[] = {SIGTERM, SIGPIPE, SIGHUP, SIGINT};
    struct sigaction saved[4];
    for (int i = 0; i < 4; i++)
        sigaction(sigs[i], nullptr, &saved[i]);
    std::signal(SIGTERM, own_handler);
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGHUP, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
    std::pair<char *, std::string> spooled = spool_one();
    ASSERT_NE(spooled.first, nullptr);
    EXPECT_EQ(handler_of(SIGTERM), own_handler);
    EXPECT_EQ(handler_of(SIGPIPE), SIG_IGN);
    EXPECT_NE(handler_of(SIGHUP), SIG_DFL);
    EXPECT_NE(handler_of(SIGINT), SIG_DFL);
    std::signal(SIGINT, own_handler);
    // The caller deletes the file itself; the next release notices.
    unlink(spooled.first);
    std::free(spooled.first);
    cgi_free_request(static_cast<cgi_request *>(std::calloc(1, sizeof(cgi_request))));
    EXPECT_EQ(handler_of(SIGTERM), own_handler);
    EXPECT_EQ(handler_of(SIGPIPE), SIG_IGN);
    EXPECT_EQ(handler_of(SIGHUP), SIG_DFL);
    EXPECT_EQ(handler_of(SIGINT), own_handler);
    for (int i = 0; i < 4; i++)
        sigaction(sigs[i], &saved[i], nullptr);
}

// A handler of the program's own deletes the spool files with
// cgi_remove_spool_files; one that the program renamed is its own, and so is
// whatever has since taken the old name (another process's new file).
extern "C" void removing_handler(int)
{
    cgi_remove_spool_files();
    _exit(4);
}

TEST_F(Faults, OwnSignalHandlerRemovesSpoolFiles)
{
    test::TempDir dir;
    std::string kept = dir.file("kept");
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
        std::signal(SIGTERM, removing_handler);
        char *moved = spool_one().first, *path = spool_one().first;
        if (!moved || !path || rename(moved, kept.c_str()) != 0)
            _exit(1);
        std::string paths = std::string(moved) + "\n" + path;
        FILE *other = std::fopen(moved, "wbx");
        if (!other || std::fclose(other) != 0 || write(fds[1], paths.data(), paths.size()) < 0)
            _exit(2);
        raise(SIGTERM);
        _exit(3);
    }
    close(fds[1]);
    char text[64] = "";
    ssize_t n = read(fds[0], text, sizeof text - 1);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 4) << status;
    ASSERT_GT(n, 0);
    std::string moved(text, static_cast<size_t>(std::strchr(text, '\n') - text)), path(std::strchr(text, '\n') + 1);
    EXPECT_FALSE(test::file_exists(path));
    EXPECT_EQ(test::read_file(kept), "data");
    EXPECT_TRUE(test::file_exists(moved)) << "another's file deleted";
    unlink(moved.c_str());
}

// At most 64 spool files at once: a 65th part is not stored, but its data is
// consumed all the same.  A file that the caller deleted itself frees its
// place.
TEST_F(Faults, SixtyFourSpoolFilesAtOnce)
{
    std::vector<char *> paths;
    for (size_t i = 0; i < ostrel::max_spool_files; i++) {
        std::pair<char *, std::string> spooled = spool_one();
        ASSERT_NE(spooled.first, nullptr) << i;
        paths.push_back(spooled.first);
    }
    EXPECT_EQ(spool_one(), (std::pair<char *, std::string>{nullptr, "rest"}));
    unlink(paths[0]);
    std::free(paths[0]);
    paths[0] = spool_one().first;
    EXPECT_NE(paths[0], nullptr);
    for (char *p : paths) {
        unlink(p);
        std::free(p);
    }
    cgi_free_request(static_cast<cgi_request *>(std::calloc(1, sizeof(cgi_request))));
}

// A spool file's name is kept in a slot of 32 bytes: a longer one is
// refused (no slot), never cut short or written past it.
TEST_F(Faults, SpoolNameAtItsSlotsSize)
{
    for (size_t length : {31, 32}) {
        std::string name = "/tmp/ostrel" + std::string(length - 17, 'n') + "XXXXXX";
        int fd = ostrel::create_file(&name[0], true);
        EXPECT_EQ(fd >= 0, length < 32) << length;
        if (fd >= 0) {
            close(fd);
            ostrel::remove_file(name.c_str());
        }
    }
    ostrel::forget_moved_files();
}

} // namespace
