// The upload handler's decisions, copy_file and the answer.
#include "handler/upload.h"
#include "tests/support.h"

#include <cstring>
#include <algorithm>
#include <csignal>
#include <dirent.h>
#include <sys/resource.h>

namespace {

char *copy(const std::string &s) { return strdup(s.c_str()); }

// The mode of a file that fopen's "wb" creates, under this process's umask.
mode_t created_mode()
{
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// A directory on another file system than its parent's: one that rename(2)
// cannot reach from outside.  Empty when the system has none.
std::string mount_point()
{
    struct stat dir, parent;
    if (stat("/dev/shm", &dir) != 0 || stat("/dev", &parent) != 0 || dir.st_dev == parent.st_dev)
        return "";
    return "/dev/shm";
}

// Receivers unique to this process, so parallel runs never meet.
std::string receiver(const std::string &tail = "") { return "t" + std::to_string(getpid()) + tail; }

class Handler : public test::SpoolWatch {
protected:
    // A request as the readers leave it: receiver (none: no variables list),
    // and an upload whose spool file holds `data`.
    cgi_request *request(const char *recv, const char *filename, const std::string &data = "fax data")
    {
        req_ = static_cast<cgi_request *>(std::calloc(1, sizeof *req_));
        if (recv) {
            req_->variables = static_cast<cgi_var **>(std::calloc(2, sizeof(cgi_var *)));
            req_->variables[0] = static_cast<cgi_var *>(std::calloc(1, sizeof(cgi_var)));
            req_->variables[0]->name = copy("fxreceiver");
            req_->variables[0]->value = copy(recv);
        }
        if (filename) {
            char path[] = "/tmp/ostrelXXXXXX";
            close(mkstemp(path));
            test::write_file(path, data);
            req_->uploads = static_cast<cgi_upload **>(std::calloc(2, sizeof(cgi_upload *)));
            cgi_upload *u = req_->uploads[0] = static_cast<cgi_upload *>(std::calloc(1, sizeof(cgi_upload)));
            u->name = copy("fxdatei");
            u->filename = copy(filename);
            u->path = copy(path);
        }
        return req_;
    }
    int store()
    {
        std::memset(dest_, 0, sizeof dest_);
        std::strcpy(dest_, "/tmp/");
        int result = store_upload(req_, dest_);
        cgi_free_request(req_);
        req_ = nullptr;
        if (result == 0)
            stored_.push_back(dest_);
        return result;
    }
    void TearDown() override
    {
        cgi_free_request(req_);
        for (const auto &f : stored_)
            unlink(f.c_str());
        test::SpoolWatch::TearDown();
    }
    cgi_request *req_ = nullptr;
    char dest_[FAX_PATH_SIZE];
    std::vector<std::string> stored_;
};

TEST_F(Handler, StoresTheDocument)
{
    std::string r = receiver();
    request(r.c_str(), "fax.sff", std::string("bytes\0\r\n--", 10));
    ASSERT_EQ(store(), 0);
    EXPECT_EQ(dest_, "/tmp/" + r + ".fax.sff.sff");
    EXPECT_EQ(test::read_file(dest_), std::string("bytes\0\r\n--", 10));
}

// Once renamed, the spool name may be another request's new spool file:
// the release leaves it alone.
TEST_F(Handler, ReleaseAfterStoringSparesTheSpoolName)
{
    std::string r = receiver();
    request(r.c_str(), "fax.sff");
    std::string spool = req_->uploads[0]->path;
    std::memset(dest_, 0, sizeof dest_);
    std::strcpy(dest_, "/tmp/");
    ASSERT_EQ(store_upload(req_, dest_), 0);
    stored_.push_back(dest_);
    test::write_file(spool, "another request's");
    cgi_free_request(req_);
    req_ = nullptr;
    EXPECT_TRUE(test::file_exists(spool));
    unlink(spool.c_str());
}

// A spool file on another file system cannot be renamed into "/tmp/": the
// document is copied.
TEST_F(Handler, StoresAcrossFileSystems)
{
    std::string dir = mount_point(), r = receiver();
    struct stat shm, tmp;
    if (dir.empty() || stat("/tmp", &tmp) != 0 || stat(dir.c_str(), &shm) != 0 || shm.st_dev == tmp.st_dev)
        GTEST_SKIP() << "no file system apart from /tmp";
    request(r.c_str(), "fax.sff", "document");
    std::string spool = dir + "/ostrel-spool-" + r;
    unlink(req_->uploads[0]->path);
    test::write_file(spool, "document");
    std::free(req_->uploads[0]->path);
    req_->uploads[0]->path = copy(spool);
    ASSERT_EQ(store(), 0);
    EXPECT_EQ(test::read_file(dest_), "document");
    EXPECT_FALSE(test::file_exists(spool));
}

TEST_F(Handler, StoresAnEmptyDocument)
{
    std::string r = receiver();
    request(r.c_str(), "empty.sff", "");
    ASSERT_EQ(store(), 0);
    EXPECT_EQ(test::read_file(dest_), "");
    EXPECT_TRUE(test::file_exists(dest_));
}

TEST_F(Handler, StoreReplacesAPlantedLinkNotItsTarget)
{
    test::TempDir dir;
    std::string r = receiver(), victim = dir.file("victim"), dest = "/tmp/" + r + ".fax.sff.sff";
    test::write_file(victim, "precious");
    ASSERT_EQ(symlink(victim.c_str(), dest.c_str()), 0);
    stored_.push_back(dest);
    request(r.c_str(), "fax.sff", "document");
    ASSERT_EQ(store(), 0);
    EXPECT_EQ(test::read_file(victim), "precious");
    struct stat st;
    ASSERT_EQ(lstat(dest.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, created_mode());
    EXPECT_EQ(test::read_file(dest), "document");
}

TEST_F(Handler, StoreReplacesAnOlderDocument)
{
    test::TempDir dir;
    std::string r = receiver(), dest = "/tmp/" + r + ".fax.sff.sff", link = dir.file("link");
    test::write_file(dest, "older document, longer than the new one");
    stored_.push_back(dest);
    ASSERT_EQ(chmod(dest.c_str(), 0600), 0);
    ASSERT_EQ(::link(dest.c_str(), link.c_str()), 0);
    request(r.c_str(), "fax.sff", "document");
    ASSERT_EQ(store(), 0);
    EXPECT_EQ(test::read_file(dest), "document");
    struct stat st;
    ASSERT_EQ(stat(dest.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, created_mode());
    EXPECT_EQ(test::read_file(link), "older document, longer than the new one"); // another file now
}

TEST_F(Handler, DirectoryInThePlaceOfTheDocument)
{
    std::string r = receiver(), dest = "/tmp/" + r + ".fax.sff.sff";
    ASSERT_EQ(mkdir(dest.c_str(), 0700), 0);
    request(r.c_str(), "fax.sff", "document");
    EXPECT_EQ(store(), 1);
    struct stat st;
    EXPECT_TRUE(stat(dest.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
    rmdir(dest.c_str());
}

TEST_F(Handler, NothingToStore)
{
    request(nullptr, "fax.sff");
    EXPECT_EQ(store(), 1); // no variables
    request(nullptr, "fax.sff")->variables = static_cast<cgi_var **>(std::calloc(1, sizeof(cgi_var *)));
    EXPECT_EQ(store(), 1); // no receiver among them
    request("", "fax.sff");
    EXPECT_EQ(store(), 1); // empty receiver
    request(receiver().c_str(), nullptr);
    EXPECT_EQ(store(), 1); // no document
    req_ = nullptr;
    EXPECT_EQ(store(), 1); // no request
}

TEST_F(Handler, RefusedNames)
{
    // 69 bytes for receiver and file name together fit; one more does not.
    std::string r = receiver(), fits = r + std::string(69 - r.size() - 1, 'r');
    const std::pair<std::string, const char *> refused[] = {
        {"../etc", "fax.sff"},       {"a/b", "fax.sff"},      {"/", "fax.sff"},        {r + "\n", "fax.sff"},
        {r + "\x7f", "fax.sff"},     {r + "\x1b", "fax.sff"}, {r + "\x1f", "fax.sff"}, {r, "fax\r\n.sff"},
        {std::string(80, 'r'), "f"}, {fits + "x", "f"},
    };
    for (const auto &c : refused) {
        request(c.first.c_str(), c.second);
        EXPECT_EQ(store(), 1) << c.first;
    }
    request(fits.c_str(), "f");
    EXPECT_EQ(store(), 0);
    EXPECT_EQ(std::strlen(dest_), 79u);
    request((r + " 30 ~").c_str(), "a b~.sff"); // blanks and "~" are no control bytes
    EXPECT_EQ(store(), 0);
}

TEST_F(Handler, DotsWithoutSlashStayInTmp)
{
    std::string r = ".." + receiver();
    request(r.c_str(), "..");
    ASSERT_EQ(store(), 0);
    EXPECT_EQ(dest_, "/tmp/" + r + "....sff");
}

TEST_F(Handler, Answers)
{
    auto answer = [](int result, const char *dest) {
        return test::capture_stdout([&] { write_answer(stdout, result, dest); });
    };
    EXPECT_EQ(answer(0, "/tmp/123.fax.sff.sff"),
              "Location: ./faxsnd.cgi?action=upload&work=ok&faxfile=/tmp/123.fax.sff.sff\n\n");
    EXPECT_EQ(answer(0, "/tmp/+49.a b&c=%.sff"),
              "Location: ./faxsnd.cgi?action=upload&work=ok&faxfile=/tmp/%2B49.a%20b%26c%3D%25.sff\n\n");
    EXPECT_EQ(answer(0, "/tmp/\xe4-_.~"), "Location: ./faxsnd.cgi?action=upload&work=ok&faxfile=/tmp/%E4-_.~\n\n");
    EXPECT_EQ(answer(0, "/tmp/@AZ[`az{09:"),
              "Location: ./faxsnd.cgi?action=upload&work=ok&faxfile=/tmp/%40AZ%5B%60az%7B09%3A\n\n");
    EXPECT_EQ(answer(1, "/tmp/ignored"), "Location: ./faxsnd.cgi?action=upload&work=ok\n\n");
}

// copy_file

class CopyFile : public ::testing::Test {
protected:
    // Nothing but the expected files: no temporary copy left behind.
    std::vector<std::string> listing() const
    {
        std::vector<std::string> names;
        if (DIR *d = opendir(dir_.path().c_str())) {
            while (dirent *e = readdir(d))
                if (e->d_name[0] != '.' || std::strlen(e->d_name) > 2)
                    names.push_back(e->d_name);
            closedir(d);
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    test::TempDir dir_;
};

TEST_F(CopyFile, CopiesBytesWithTheModeOfANewFile)
{
    std::string data;
    for (int i = 0; i < 200000; i++)
        data += static_cast<char>(i * 7);
    test::write_file(dir_.file("src"), data);
    ASSERT_EQ(copy_file(dir_.file("src").c_str(), dir_.file("dst").c_str()), 0);
    EXPECT_TRUE(test::read_file(dir_.file("dst")) == data);
    struct stat st;
    ASSERT_EQ(stat(dir_.file("dst").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, created_mode());
    EXPECT_EQ(listing(), (std::vector<std::string>{"dst", "src"}));
}

TEST_F(CopyFile, ReplacesAnOlderFile)
{
    test::write_file(dir_.file("src"), "new");
    test::write_file(dir_.file("dst"), "older and longer");
    ASSERT_EQ(copy_file(dir_.file("src").c_str(), dir_.file("dst").c_str()), 0);
    EXPECT_EQ(test::read_file(dir_.file("dst")), "new");
}

TEST_F(CopyFile, Failures)
{
    test::write_file(dir_.file("src"), "data");
    EXPECT_EQ(copy_file(dir_.file("missing").c_str(), dir_.file("dst").c_str()), 1);
    EXPECT_EQ(copy_file(dir_.file("src").c_str(), dir_.file("no/such/dir").c_str()), 1);
    mkdir(dir_.file("adir").c_str(), 0700);
    EXPECT_EQ(copy_file(dir_.file("src").c_str(), dir_.file("adir").c_str()), 1);
    EXPECT_EQ(copy_file(dir_.path().c_str(), dir_.file("dst").c_str()), 1); // reading a directory fails
    EXPECT_EQ(listing(), (std::vector<std::string>{"adir", "src"}));
}

TEST_F(CopyFile, NeverWritesThroughAPlantedLink)
{
    test::write_file(dir_.file("src"), "document");
    test::write_file(dir_.file("victim"), "precious");
    ASSERT_EQ(symlink(dir_.file("victim").c_str(), dir_.file("dst").c_str()), 0);
    ASSERT_EQ(copy_file(dir_.file("src").c_str(), dir_.file("dst").c_str()), 0);
    EXPECT_EQ(test::read_file(dir_.file("victim")), "precious");
    struct stat st;
    ASSERT_EQ(lstat(dir_.file("dst").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(test::read_file(dir_.file("dst")), "document");
}

// The temporary copy is made beside the destination, so that it can be
// renamed there even into a mount point.
TEST_F(CopyFile, IntoAMountPoint)
{
    std::string dir = mount_point();
    if (dir.empty())
        GTEST_SKIP() << "no mount point at hand";
    std::string dst = dir + "/ostrel-copy-" + std::to_string(getpid());
    test::write_file(dir_.file("src"), "document");
    EXPECT_EQ(copy_file(dir_.file("src").c_str(), dst.c_str()), 0);
    EXPECT_EQ(test::read_file(dst), "document");
    unlink(dst.c_str());
}

TEST_F(CopyFile, FullFileSystemLeavesNoPartialFile)
{
    // 100000 bytes fail in a write; 2000 only when fclose writes them out.
    for (size_t size : {100000, 2000}) {
        test::write_file(dir_.file("src"), std::string(size, 'x'));
        pid_t pid = fork();
        if (pid == 0) {
            std::signal(SIGXFSZ, SIG_IGN);
            struct rlimit limit = {1024, 1024};
            setrlimit(RLIMIT_FSIZE, &limit);
            _exit(copy_file(dir_.file("src").c_str(), dir_.file("dst").c_str()));
        }
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << size;
        EXPECT_EQ(listing(), (std::vector<std::string>{"src"})) << size;
    }
}

} // namespace
