// File transfer over loopback TCP (and socket pairs for cut streams),
// enciphered with DES where libcrypto is there, onto real files.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>
#include <thread>

#include "port/varro.h"
#include "util/sorvan.h"
#include "util/sys/secdesc.h"
#include "tests/support/testutil.h"

namespace fs = std::filesystem;
using testutil::read_file;
using testutil::TempDir;
using testutil::write_file;

namespace {

const char *kPassword = "replica";

void keyed_once() {
    static bool done = [] {
        testutil::des_key();
        char *hash = crypt_md5(kPassword, "Q4");
        std::memset(key_phrase, 0, sizeof key_phrase);
        std::memcpy(key_phrase, hash, 8);
        memput(hash, 120);
        return true;
    }();
    (void)done;
}

// An in-process agent on 127.0.0.1: every connection through the request
// server, one at a time.
class Agent {
public:
    Agent() {
        keyed_once();
        ls_ = testutil::loopback_socket(&port_);
        th_ = std::thread([this] {
            while (!stop_) {
                pollfd p{ls_, POLLIN, 0};
                if (poll(&p, 1, 50) <= 0) continue;
                sockaddr_in peer{};
                socklen_t pl = sizeof peer;
                int s = accept(ls_, reinterpret_cast<sockaddr *>(&peer), &pl);
                if (s < 0) continue;
                if (drop_ > 0) {   // a node that dies early in the transfer
                    --drop_;
                    char b[4096];
                    (void)!recv(s, b, sizeof b, 0);
                    close(s);
                    continue;
                }
                authenticate_and_process(s, &peer, nullptr, nullptr);
                close(s);
                ++served_;
            }
        });
    }
    ~Agent() {
        stop_ = true;
        th_.join();
        close(ls_);
    }
    int port() const { return port_; }
    int served() const { return served_; }
    void drop_next(int n) { drop_ = n; }

private:
    int ls_;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> served_{0};
    std::atomic<int> drop_{0};
    std::thread th_;
};

FileRecord record(const std::string &src, const std::string &dst, uint64_t size = 0) {
    FileRecord r{};
    std::snprintf(r.path, sizeof r.path, "%s", src.c_str());
    std::snprintf(r.path2, sizeof r.path2, "%s", dst.c_str());
    r.attributes = sorvan::sd::attr_word(src.c_str());
    r.size = size;
    return r;
}

std::string mixed(size_t n, unsigned variant) {
    std::mt19937 rng(variant);
    std::string s(n, 0);
    for (size_t i = 0; i < n; ++i) s[i] = (i / 4096) % 2 ? char(rng()) : "replicated text\r\n"[i % 17];
    return s;
}

uint32_t loopback() { return htonl(INADDR_LOOPBACK); }

// Bytes that send_file_content puts on a connection for `rec`.
std::string captured_stream(const FileRecord &rec) {
    int sv[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
    std::string out;
    std::thread reader([&] { out = testutil::drain(sv[1]); });
    send_file_content(sv[0], &rec, 0);
    close(sv[0]);
    reader.join();
    close(sv[1]);
    return out;
}

// Feeds receive_file a request whose content is cut to `keep` bytes.
int32_t receive_cut(const FileRecord &rec, const std::string &stream, size_t keep) {
    int sv[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
    uint32_t sd_len = 0;
    void *sd = get_NT_SD(rec.path, &sd_len);
    sorvan::sd::control_to_transit(static_cast<unsigned char *>(sd));
    std::thread writer([&] {
        xwrite(sv[0], &rec, sizeof rec);
        xwrite(sv[0], sd, sd_len);
        nwrite(sv[0], stream.data(), int(std::min(keep, stream.size())));
        close(sv[0]);
    });
    int32_t rc = receive_file(sv[1], nullptr, nullptr, 2);
    writer.join();
    close(sv[1]);
    std::free(sd);
    return rc;
}

size_t entries(const std::string &dir) {
    return size_t(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

}  // namespace

// Content, mode and attributes arrive; a text transfer turns CRs into
// spaces; an empty source makes an empty file and truncates nothing else.
TEST(Transfer, FileArrivesWholeWithModeAttributesAndText) {
    Agent a;
    TempDir t;
    std::string content = mixed(70000, 1);
    write_file(t / "src", content);
    chmod((t / "src").c_str(), 0640);
    set_NT_file_attr((t / "src").c_str(), 0x21);   // read-only, archive
    FileRecord rec = record(t / "src", t / "out/deep/dst");
    write_file(t / "text", "one\r\ntwo\r\n");
    FileRecord text = record(t / "text", t / "copy");
    for (int mode : {0, 1}) {
        int s = send_file(loopback(), a.port(), 1000000, kPassword, "Q4", mode ? &text : &rec, mode);
        ASSERT_GT(s, 0);
        close(s);
    }
    write_file(t / "empty", "");
    write_file(t / "kept", "keep me");
    FileRecord e1 = record(t / "empty", t / "new-empty"), e2 = record(t / "empty", t / "kept");
    EXPECT_EQ(req_send_file(loopback(), a.port(), 1000000, kPassword, &e1), 0);
    EXPECT_EQ(req_send_file(loopback(), a.port(), 1000000, kPassword, &e2), 0);
    ASSERT_TRUE(testutil::wait_until([&] { return a.served() == 4; }, std::chrono::seconds(10)));
    EXPECT_TRUE(read_file(t / "out/deep/dst") == content) << "content differs";
    struct stat st;
    stat((t / "out/deep/dst").c_str(), &st);
    EXPECT_EQ(st.st_mode & 07777, 0440u);
    EXPECT_EQ(sorvan::sd::attr_word((t / "out/deep/dst").c_str()), sorvan::sd::attr_word((t / "src").c_str()));
    EXPECT_EQ(entries(t / "out/deep"), 1u);   // no temporary file left
    EXPECT_EQ(read_file(t / "copy"), "one \ntwo \n");
    EXPECT_EQ(read_file(t / "text"), "one\r\ntwo\r\n");
    EXPECT_TRUE(fs::exists(t / "new-empty"));
    EXPECT_EQ(read_file(t / "kept"), "keep me");
}

// Content that did not go out whole is sent again, the whole transfer.
TEST(Transfer, CutContentIsSentAgain) {
    Agent a;
    a.drop_next(1);
    TempDir t;
    std::string content = mixed(8 << 20, 5);
    write_file(t / "src", content);
    FileRecord rec = record(t / "src", t / "dst", content.size());
    // It returns once the agent has ended the request: the file is there.
    EXPECT_EQ(req_send_file(loopback(), a.port(), 1000000, kPassword, &rec), 0);
    EXPECT_TRUE(read_file(t / "dst") == content) << "content differs";
}

// A stream cut before its end leaves the destination as it was; a sender
// whose peer is gone says so.
TEST(Transfer, CutStreamsOnEitherEnd) {
    keyed_once();
    TempDir t;
    write_file(t / "src", mixed(300000, 2));
    write_file(t / "dst", "the old version");
    FileRecord rec = record(t / "src", t / "dst", 300000);
    std::string stream = captured_stream(rec);
    ASSERT_GT(stream.size(), 1000u);
    EXPECT_EQ(receive_cut(rec, stream, stream.size() / 2), -4);
    EXPECT_EQ(receive_cut(rec, stream, 0), -4);
    EXPECT_EQ(read_file(t / "dst"), "the old version");
    EXPECT_EQ(entries(t.path()), 2u);
    EXPECT_EQ(receive_cut(rec, stream, stream.size()), 0);
    EXPECT_TRUE(read_file(t / "dst") == read_file(t / "src")) << "content differs";

    write_file(t / "big", mixed(4 << 20, 4));
    FileRecord big = record(t / "big", "");
    uint16_t port = 0;
    int ls = testutil::loopback_socket(&port);
    int s = connect_nb(loopback(), port, 1000000);
    ASSERT_GE(s, 0);
    close(accept(ls, nullptr, nullptr));
    close(ls);
    EXPECT_EQ(send_file_content(s, &big, 0), -2);
    close(s);
}

// What no retry can cure comes back at once, with a log line saying why.
TEST(Transfer, HopelessRequestsAreGivenUpAtOnce) {
    const std::string &log = testutil::log_file("test_transfer");
    Agent a;
    TempDir t;
    write_file(t / "short", "abc");
    fs::create_directories(t / "dir");
    auto quick = [](auto op) {
        auto t0 = std::chrono::steady_clock::now();
        int rc = op();
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
        return rc;
    };
    FileRecord fine = record(t / "short", t / "d4");
    using Case = std::pair<FileRecord, const char *>;
    for (Case c : {Case{record(t / "missing", t / "d1"), kPassword}, Case{record(t / "dir", t / "d2"), kPassword},
                   Case{record(t / "short", t / "d3", 1000), kPassword}, Case{fine, "wrong"}})
        EXPECT_EQ(quick([&] { return req_send_file(loopback(), a.port(), 1000000, c.second, &c.first); }), -100)
            << c.first.path;
    FileRecord mk = record("", "");
    std::snprintf(mk.path, sizeof mk.path, "%s", (t / "made").c_str());
    EXPECT_EQ(quick([&] { return req_mkdir(loopback(), a.port(), 1000000, "wrong", &mk); }), -5);
    for (const char *f : {"d1", "d2", "d3", "d4", "made"}) EXPECT_FALSE(fs::exists(t / f)) << f;
    std::string text = read_file(log);
    for (const char *why : {"the source is gone", "the source is not a regular file",
                            "the source is shorter than announced (3 of 1000 bytes)", "the agent rejects the key"})
        EXPECT_TRUE(testutil::contains(text, why)) << why << "\n" << text;
    // The right key still works.
    EXPECT_EQ(req_send_file(loopback(), a.port(), 1000000, kPassword, &fine), 0);
    EXPECT_EQ(read_file(t / "d4"), "abc");
}
