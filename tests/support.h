// Test support: stdin from bytes, output captured or written to a stream,
// environment scopes, spool file watching and running the built program as a
// web server would.
#ifndef OSTREL_TEST_SUPPORT_H
#define OSTREL_TEST_SUPPORT_H

#include "cgi/cgi.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <glob.h>
#include <map>
#include <set>
#include <csignal>
#include <sys/socket.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace test {

// What is left on a stream, which it then closes.
inline std::string read_stream(FILE *f)
{
    std::string s;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    std::fclose(f);
    return s;
}

inline std::string read_file(const std::string &path)
{
    FILE *f = std::fopen(path.c_str(), "rb");
    return f ? read_stream(f) : std::string();
}

inline void write_file(const std::string &path, const std::string &data)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    if (!data.empty()) {
        ASSERT_EQ(std::fwrite(data.data(), 1, data.size(), f), data.size());
    }
    std::fclose(f);
}

inline bool file_exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// A private scratch directory, removed with everything in it.
class TempDir {
public:
    TempDir()
    {
        char tmpl[] = "/tmp/faxtest-XXXXXX"; // not a spool name
        const char *p = mkdtemp(tmpl);
        path_ = p ? p : "";
    }
    ~TempDir()
    {
        if (!path_.empty())
            std::system(("rm -rf '" + path_ + "'").c_str());
    }
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A stream over the given bytes for the readers' inner entries: a file, as
// stdin from a file is, closed at the end of the scope.
class Bytes {
public:
    explicit Bytes(const std::string &bytes) : f_(std::tmpfile())
    {
        if (f_ && !bytes.empty())
            std::fwrite(bytes.data(), 1, bytes.size(), f_);
        if (f_)
            std::rewind(f_);
    }
    ~Bytes()
    {
        if (f_)
            std::fclose(f_);
    }
    Bytes(const Bytes &) = delete;
    Bytes &operator=(const Bytes &) = delete;
    operator FILE *() const { return f_; }

private:
    FILE *f_;
};

// Points stdin at the given bytes (through a file, so it can be reread).
inline void set_stdin(const std::string &data)
{
    static TempDir dir;
    std::string path = dir.file("stdin");
    write_file(path, data);
    ASSERT_NE(std::freopen(path.c_str(), "rb", stdin), nullptr);
}

// Runs fn with file descriptor fd (1 or 2) redirected; returns what it wrote.
inline std::string capture_fd(int fd, const std::function<void()> &fn)
{
    FILE *stream = fd == 1 ? stdout : stderr;
    std::fflush(stream);
    static TempDir dir;
    std::string path = dir.file("captured" + std::to_string(fd));
    int out = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    int saved = dup(fd);
    dup2(out, fd);
    close(out);
    fn();
    std::fflush(stream);
    dup2(saved, fd);
    close(saved);
    return read_file(path);
}
inline std::string capture_stdout(const std::function<void()> &fn) { return capture_fd(1, fn); }
inline std::string capture_stderr(const std::function<void()> &fn) { return capture_fd(2, fn); }

// What fn wrote to a stream of its own, for the writers' inner entries.  A
// temporary file, not open_memstream: glibc allocates a memory stream's
// buffer past the allocation counter that the out-of-memory tests keep.
inline std::string written(const std::function<void(FILE *)> &fn)
{
    FILE *out = std::tmpfile();
    if (!out)
        return "<no stream>";
    fn(out);
    std::rewind(out);
    return read_stream(out);
}

// Sets (or, with nullptr, unsets) environment variables for one scope.
class Env {
public:
    Env(std::initializer_list<std::pair<const char *, const char *>> vars)
    {
        for (auto &v : vars) {
            const char *old = std::getenv(v.first);
            saved_.emplace_back(v.first, old ? std::string(old) : std::string(), old != nullptr);
            if (v.second)
                setenv(v.first, v.second, 1);
            else
                unsetenv(v.first);
        }
    }
    ~Env()
    {
        for (auto &s : saved_) {
            if (std::get<2>(s))
                setenv(std::get<0>(s).c_str(), std::get<1>(s).c_str(), 1);
            else
                unsetenv(std::get<0>(s).c_str());
        }
    }

private:
    std::vector<std::tuple<std::string, std::string, bool>> saved_;
};

inline std::set<std::string> spool_files()
{
    std::set<std::string> found;
    glob_t g;
    if (glob("/tmp/ostrel*", 0, nullptr, &g) == 0)
        for (size_t i = 0; i < g.gl_pathc; i++)
            found.insert(g.gl_pathv[i]);
    globfree(&g);
    return found;
}

// Fails the test when a "/tmp/ostrel*" file that appeared during the test is
// still there at its end.  Files that were there before are not ours.
class SpoolWatch : public ::testing::Test {
protected:
    void SetUp() override { before_ = spool_files(); }
    void TearDown() override
    {
        for (const auto &f : spool_files())
            EXPECT_TRUE(before_.count(f)) << "left behind: " << f;
    }
    std::set<std::string> new_spool_files() const
    {
        std::set<std::string> fresh;
        for (const auto &f : spool_files())
            if (!before_.count(f))
                fresh.insert(f);
        return fresh;
    }

private:
    std::set<std::string> before_;
};

// In a forked child: execs the program with exactly the given environment.
[[noreturn]] inline void exec_program(const std::string &program, const std::map<std::string, std::string> &env)
{
    std::vector<std::string> strings;
    for (auto &e : env)
        strings.push_back(e.first + "=" + e.second);
    std::vector<char *> envp;
    for (auto &s : strings)
        envp.push_back(&s[0]);
    envp.push_back(nullptr);
    char *argv[] = {const_cast<char *>(program.c_str()), nullptr};
    execve(program.c_str(), argv, envp.data());
    _exit(127);
}

struct Run {
    int status = -1; // exit status, or -1 when it did not exit normally
    std::string out;
};

// Runs a program with exactly the given environment and stdin, as a web
// server would, and collects its standard output.
inline Run run_program(const std::string &program, const std::map<std::string, std::string> &env,
                       const std::string &input)
{
    static TempDir dir;
    std::string in_path = dir.file("program-stdin"), out_path = dir.file("program-stdout");
    write_file(in_path, input);
    pid_t pid = fork();
    if (pid == 0) {
        int in = open(in_path.c_str(), O_RDONLY);
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(in, 0);
        dup2(out, 1);
        exec_program(program, env);
    }
    Run r;
    int st = 0;
    waitpid(pid, &st, 0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.out = read_file(out_path);
    return r;
}

// Runs a program as run_program does, but with standard input a pipe (or,
// with `socket`, one end of a socket pair, as servers that hand over the
// client's connection give it) that still stands open after `input`, as a
// server may hold it.  The input is closed after `seconds`; `waited` tells
// that the program had not answered by then.
struct HeldRun : Run {
    bool waited = false;
};
inline HeldRun run_program_held(const std::string &program, const std::map<std::string, std::string> &env,
                                const std::string &input, bool socket, int seconds = 5)
{
    static TempDir dir;
    std::string out_path = dir.file("held-stdout");
    int fds[2];
    if ((socket ? socketpair(AF_UNIX, SOCK_STREAM, 0, fds) : pipe(fds)) != 0)
        return {};
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fds[0], 0);
        dup2(out, 1);
        close(fds[1]);
        exec_program(program, env);
    }
    close(fds[0]);
    signal(SIGPIPE, SIG_IGN); // a program that stops reading early is no fault
    for (size_t at = 0; at < input.size();) {
        ssize_t n = write(fds[1], input.data() + at, input.size() - at);
        if (n <= 0)
            break;
        at += static_cast<size_t>(n);
    }
    HeldRun r;
    int st = 0;
    for (int i = 0; i < seconds * 100 && waitpid(pid, &st, WNOHANG) == 0; i++)
        usleep(10000);
    if (waitpid(pid, &st, WNOHANG) == 0) {
        r.waited = true;
        close(fds[1]);
        waitpid(pid, &st, 0);
    } else {
        close(fds[1]);
    }
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.out = read_file(out_path);
    return r;
}

// What a request holds, one entry each, in the text that dump_request prints:
//   var NAME=VALUE
//   upload NAME (FILENAME, TYPE or "no type"): the spool file's bytes
//   cookie NAME=VALUE[ $Version=V[ (shared)]][ $Path=P][ $Domain=D]
// "(none)" stands for a null field; "(shared)" marks a later cookie that
// holds the first one's version string itself.  A list that is present but
// empty is "no variables", "no uploads" or "no cookies"; an absent one says
// nothing.
inline std::vector<std::string> entries(const cgi_request *req)
{
    std::vector<std::string> out;
    auto text = [](const char *s) { return std::string(s ? s : "(none)"); };
    if (req->variables && !req->variables[0])
        out.push_back("no variables");
    for (cgi_var **v = req->variables; v && *v; v++)
        out.push_back("var " + text((*v)->name) + "=" + text((*v)->value));
    if (req->uploads && !req->uploads[0])
        out.push_back("no uploads");
    for (cgi_upload **u = req->uploads; u && *u; u++)
        out.push_back("upload " + text((*u)->name) + " (" + text((*u)->filename) + ", " +
                      ((*u)->type ? (*u)->type : "no type") + "): " + ((*u)->path ? read_file((*u)->path) : ""));
    if (req->cookies && !req->cookies[0])
        out.push_back("no cookies");
    for (cgi_cookie **c = req->cookies; c && *c; c++) {
        std::string e = "cookie " + text((*c)->name) + "=" + text((*c)->value);
        if ((*c)->version)
            e += " $Version=" + text((*c)->version) +
                (c != req->cookies && (*c)->version == req->cookies[0]->version ? " (shared)" : "");
        if ((*c)->path)
            e += " $Path=" + text((*c)->path);
        if ((*c)->domain)
            e += " $Domain=" + text((*c)->domain);
        out.push_back(e);
    }
    return out;
}

// The entries, each ended by a line feed; "no request" for none.
inline std::string describe(const cgi_request *req)
{
    if (!req)
        return "no request\n";
    std::string s;
    for (const auto &e : entries(req))
        s += e + "\n";
    return s;
}

// The strings of a name list from cgi_*_names, which it releases.
inline std::vector<std::string> names(char **list)
{
    std::vector<std::string> v;
    for (char **p = list; p && *p; p++)
        v.push_back(*p);
    cgi_free_list(list);
    return v;
}

// A multipart/form-data body builder.
struct Part {
    std::string name;
    std::string value;
    const char *filename = nullptr; // set: a file part
    const char *type = nullptr;
};

inline std::string multipart_body(const std::string &boundary, const std::vector<Part> &parts)
{
    std::string b;
    for (const auto &p : parts) {
        b += "--" + boundary + "\r\n";
        b += "Content-Disposition: form-data; name=\"" + p.name + "\"";
        if (p.filename)
            b += std::string("; filename=\"") + p.filename + "\"";
        b += "\r\n";
        if (p.type)
            b += std::string("Content-Type: ") + p.type + "\r\n";
        b += "\r\n" + p.value + "\r\n";
    }
    b += "--" + boundary + "--\r\n";
    return b;
}

} // namespace test

#endif
