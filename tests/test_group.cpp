// Cluster-group file: reader and editors against real files.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "util/sorvan.h"
#include "tests/support/testutil.h"

using namespace std::string_literals;
using testutil::read_file;
using testutil::write_file;
using Names = std::vector<std::string>;

namespace {

const std::string kWeb = "web:web.example.com:secret:500000:load:30:3:900000:10001:::1:2:n1,n2,n3\n";
const std::string kDb = "db:db.example.com:pw:0:rtt:0:0:0:0:web.web.example.com:ops@example.com:0:0:d1\n";

Names members(const grentry *g) {
    Names v;
    for (char **m = g->gr_mem; *m; ++m) v.emplace_back(*m);
    return v;
}

// The names a full scan returns.
Names scan(const std::string &path) {
    Names names;
    while (grentry *g = Qv5_GetGrEnt(path.c_str())) names.emplace_back(g->gr_name);
    Qv5_EndGrEnt();
    return names;
}

}  // namespace

TEST(GroupReader, FieldsMembersAndSkippedLines) {
    testutil::TempDir dir;
    std::string path = dir / "gpfile";
    std::string too_long = "long:d:p:1:m:1:1:1:1:::1:1:";
    too_long += std::string(1040 - too_long.size() - 1, 'b') + "\n";  // 1040 with its newline
    write_file(path, "# comment\n\n \tsp:d:p:1:m:1:1:1:1:::1:1:x\n+nis:d:p:1:m:1:1:1:1:::1:1:x\n"
                     "twelve:d:p:1:m:1:1:1:1:e:m:1\n"               // nothing after the 12th
                     "thirteen:d:p: 42x:m:-7:+3:abc::::99999999999:2\n"
                     "lonely\n" + too_long + "bin:d:p:1:m:1:1:1:1:::1:1:x\0y\n"s + kWeb +
                     "a:d:p:1:m:1:1:1:1:::1:1:alpha,,beta gamma\n\r\n"
                     "crlf:d:p:1:m:1:1:1:1:::1:1:c1,c2\r\nlast:d:p:1:m:1:1:1:1:::1:1:z");
    testing::internal::CaptureStderr();
    EXPECT_EQ(scan(path), (Names{"thirteen", "web", "a", "crlf"}));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Cfg file corrupted: password field is empty, skipped\n");

    grentry *g = Qv5_GetGrEnt(path.c_str());
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(g->gr_interval, 42);  // atoi rules, clamped instead of overflowing
    EXPECT_EQ(g->gr_alert_interval, -7);
    EXPECT_EQ(g->gr_retries, 3);
    EXPECT_EQ(g->gr_timeout, 0);
    EXPECT_EQ(g->gr_param1, INT32_MAX);
    EXPECT_EQ(g->gr_mem[0], nullptr);
    g = Qv5_GetGrEnt(path.c_str());
    ASSERT_NE(g, nullptr);
    EXPECT_STREQ(g->gr_domain, "web.example.com");
    EXPECT_STREQ(g->gr_passwd, "secret");
    EXPECT_STREQ(g->gr_method, "load");
    EXPECT_EQ(g->gr_port, 10001);
    EXPECT_STREQ(g->gr_extra, "");
    EXPECT_EQ(g->gr_param2, 2);
    EXPECT_EQ(members(g), (Names{"n1", "n2", "n3"}));
    g = Qv5_GetGrEnt(path.c_str());
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(members(g), (Names{"alpha", "beta"}));
    g = Qv5_GetGrEnt(path.c_str());   // CR LF ends a line as LF does
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(members(g), (Names{"c1", "c2"}));
    EXPECT_EQ(Qv5_GetGrEnt(path.c_str()), nullptr);
    EXPECT_EQ(Qv5_GetGrEnt((dir / "other").c_str()), nullptr);  // still at the end until EndGrEnt
    Qv5_EndGrEnt();
    EXPECT_EQ(Qv5_GetGrEnt((dir / "missing").c_str()), nullptr);
}

TEST(GroupReader, GetGrNamSearchesFromTopAndCloses) {
    testutil::TempDir dir;
    std::string path = dir / "gpfile";
    write_file(path, kWeb + kDb + "db:second:p:1:m:1:1:1:1:::1:1:\n");
    ASSERT_NE(Qv5_GetGrEnt(path.c_str()), nullptr);
    ASSERT_NE(Qv5_GetGrEnt(path.c_str()), nullptr);
    grentry *g = Qv5_GetGrNam(path.c_str(), "db");
    ASSERT_NE(g, nullptr);
    EXPECT_STREQ(g->gr_domain, "db.example.com");
    EXPECT_EQ(Qv5_GetGrNam(path.c_str(), "WEB"), nullptr);
    g = Qv5_GetGrEnt(path.c_str());  // the file was closed: a new scan
    ASSERT_NE(g, nullptr);
    EXPECT_STREQ(g->gr_name, "web");
    Qv5_EndGrEnt();
}

TEST(GroupReader, ThreadsScanIndependently) {
    testutil::TempDir dir;
    std::string path = dir / "gpfile";
    std::string content;
    for (int i = 0; i < 200; ++i) content += "g" + std::to_string(i) + ":d:p:1:m:1:1:1:1:::1:1:n" + std::to_string(i) + "\n";
    write_file(path, content);
    std::vector<int> good(4, 0);
    std::vector<std::thread> threads;
    for (int &n : good)
        threads.emplace_back([&path, &n] {
            while (grentry *g = Qv5_GetGrEnt(path.c_str()))
                if (std::string(g->gr_name) == "g" + std::to_string(n) && g->gr_mem[0] == "n" + std::to_string(n)) ++n;
            Qv5_EndGrEnt();
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(good, std::vector<int>(4, 200));
}

class GroupEdit : public ::testing::Test {
protected:
    testutil::TempDir dir;
    std::string path = dir / "gpfile";
    std::string copy = path + ".new";
    char *mem[3] = {const_cast<char *>("m1"), const_cast<char *>("m2"), nullptr};
    grentry rec{};
    const std::string added = "new:new.example.com:pw:0:rtt:0:0:0:10000:::0:0:m1,m2\n";

    void SetUp() override {
        rec.gr_name = const_cast<char *>("new");
        rec.gr_domain = const_cast<char *>("new.example.com");
        rec.gr_passwd = const_cast<char *>("pw");
        rec.gr_method = const_cast<char *>("rtt");
        rec.gr_port = 10000;
        rec.gr_mem = mem;
    }
};

TEST_F(GroupEdit, AddChangeDelete) {
    const std::string webfarm = "webfarm:f:p:1:m:1:1:1:1:::1:1:w\n", comment = "#web:x\n";
    const std::string web2 = "web:second:p:1:m:1:1:1:1:::1:1:x\n";
    write_file(path, comment + webfarm + kWeb + web2 + "tail:d:p");
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    // The unterminated last line stays whole; the new line starts its own.
    EXPECT_EQ(addgrent(path.c_str(), &rec), 1);
    EXPECT_EQ(read_file(path), comment + webfarm + kWeb + web2 + "tail:d:p\n" + added);
    EXPECT_EQ(addgrent(path.c_str(), &rec), 1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(delgrent(path.c_str(), "new"), 1);
    // Only the first line with the exact key "web:" changes.
    EXPECT_EQ(chggrent(path.c_str(), "web", &rec), 1);
    EXPECT_EQ(read_file(path), comment + webfarm + added + web2 + "tail:d:p\n");
    errno = 0;
    EXPECT_EQ(delgrent(path.c_str(), "absent"), 1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(read_file(path), comment + webfarm + added + web2 + "tail:d:p\n");
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);  // the copy took the file's mode
    EXPECT_NE(access(copy.c_str(), F_OK), 0);
}

TEST_F(GroupEdit, LinesBeyondTheBufferPassThrough) {
    std::string huge = "web:" + std::string(9000, 'x') + "\n";
    std::string binary = "bin:\0\xff\x01:z\n"s;
    write_file(path, huge + binary + kWeb + "no-newline");
    EXPECT_EQ(delgrent(path.c_str(), "web"), 1);
    EXPECT_EQ(read_file(path), huge + binary + "no-newline");
}

TEST_F(GroupEdit, RefusalsAndFailuresKeepTheFile) {
    EXPECT_EQ(addgrent(path.c_str(), &rec), -1);
    EXPECT_EQ(editgroups(path.c_str(), nullptr, "x", 0), -1);
    std::string content = "# big\n";
    for (int i = 0; i < 200; ++i) content += "g" + std::to_string(i) + kWeb.substr(3);
    write_file(path, content);
    EXPECT_EQ(delgrent(path.c_str(), ""), 0);
    EXPECT_EQ(errno, EINVAL);
    rec.gr_domain = const_cast<char *>("a:b");  // would shift every later field
    EXPECT_EQ(addgrent(path.c_str(), &rec), 0);
    EXPECT_EQ(errno, EINVAL);
    char *list[] = {const_cast<char *>("g1"), nullptr};
    EXPECT_EQ(editgroups(path.c_str(), list, "p q", 2), 0);

    // A file-size limit makes writing the copy fail part way.
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl{4096, 4096};
        setrlimit(RLIMIT_FSIZE, &rl);
        _exit(delgrent(path.c_str(), "g1") == 0 && editgroups(path.c_str(), nullptr, "n1", 0) == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_EQ(mkdir(copy.c_str(), 0755), 0);  // the copy cannot be created
    EXPECT_EQ(delgrent(path.c_str(), "g1"), -2);
    EXPECT_EQ(read_file(path), content);
}

TEST_F(GroupEdit, EditGroupsModes) {
    const std::string few = "broken:line:with:few\n";  // not a group line: kept
    write_file(path, "# farm\n" + few +
                         "a:d:p:007:m:1:1:1:1:::1:1:x,y,x,z\n\n\r\n"
                         "b:d:p:1:m:1:1:1:1:::1:1:y,,x\r\n"
                         "c:d:p:1:m:1:1:1\n");
    char *list_ab[] = {const_cast<char *>("  a"), const_cast<char *>("b"), nullptr};
    EXPECT_EQ(editgroups(path.c_str(), list_ab, "x", 0), 1);  // with a list: form only
    EXPECT_EQ(read_file(path), "# farm\n" + few +
                                   "a:d:p:7:m:1:1:1:1:::1:1:x,y,x,z\n"
                                   "b:d:p:1:m:1:1:1:1:::1:1:y,x\n"
                                   "c:d:p:1:m:1:1:1:0:::0:0:\n");
    char *list_a[] = {const_cast<char *>("a"), nullptr};
    EXPECT_EQ(editgroups(path.c_str(), list_a, "x", 1), 1);
    EXPECT_EQ(editgroups(path.c_str(), list_ab, "y", 2), 1);
    char *list_c[] = {const_cast<char *>("c"), nullptr};
    EXPECT_EQ(editgroups(path.c_str(), list_c, "y", 2), 1);
    EXPECT_EQ(read_file(path), "# farm\n" + few +
                                   "a:d:p:7:m:1:1:1:1:::1:1:y,x,z\n"
                                   "b:d:p:1:m:1:1:1:1:::1:1:y,x\n"
                                   "c:d:p:1:m:1:1:1:0:::0:0:y\n");
    EXPECT_EQ(editgroups(path.c_str(), nullptr, "x", 0), 1);
    EXPECT_EQ(read_file(path), "# farm\n" + few +
                                   "a:d:p:7:m:1:1:1:1:::1:1:y,z\n"
                                   "b:d:p:1:m:1:1:1:1:::1:1:y\n"
                                   "c:d:p:1:m:1:1:1:0:::0:0:y\n");
}
