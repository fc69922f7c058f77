// The manual pages: clean roff for mandoc, and every option a program's
// --help lists is in its page.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "tests/support/testutil.h"

namespace fs = std::filesystem;
using testutil::contains;

namespace {

const std::string kPages = TESSARON_SOURCE_DIR "/docs/man";

TEST(Man, EveryPageLintsClean) {
    ASSERT_EQ(access("/usr/bin/mandoc", X_OK), 0) << "mandoc is missing";
    int pages = 0;
    for (const auto &e : fs::directory_iterator(kPages)) {
        std::string page = e.path().string();
        pages++;
        auto r = testutil::run({"/usr/bin/mandoc", "-T", "lint", "-W", "warning", page});
        EXPECT_EQ(r.status, 0) << page;
        EXPECT_EQ(r.out + r.err, "") << page;
        // The page names itself after its file.
        std::string stem = e.path().stem().string(), section = e.path().extension().string().substr(1);
        std::string title = testutil::read_file(page);
        for (std::string *t : {&stem, &title})
            for (char &c : *t) c = char(toupper(static_cast<unsigned char>(c)));
        EXPECT_TRUE(contains(title, "\n.DT " + stem + " " + section + "\n") ||
                    contains(title, "\n.TH " + stem + " " + section + " "))
            << page;
    }
    EXPECT_GE(pages, 6);
}

TEST(Man, PagesDescribeEveryOptionOfHelp) {
    for (const char *page : {"kord.8", "kordstat.1", "kord-setup.8", "sorvan-agent.8", "sorvan-sync.1", "flowgate.8"}) {
        std::string prog = fs::path(page).stem().string();
        auto help = testutil::run({testutil::bin_path(prog), "--help"});
        ASSERT_EQ(help.status, 0) << prog;
        std::string text = testutil::read_file(kPages + "/" + page);
        // Options (-x, -word, --word) and the installer's actions.
        std::regex word("(?:^|[\\s\\[|,(])-(-?[A-Za-z][A-Za-z-]*)|"
                        "\\b(msi_[a-z0-9]+|[a-z]+_nt_service|[a-z]+_install_source)\\b");
        int seen = 0;
        for (std::sregex_iterator m(help.out.begin(), help.out.end(), word), end; m != end; ++m, ++seen) {
            std::string found = (*m)[1].matched ? "Fl " + (*m)[1].str() : "Cm " + (*m)[2].str();
            EXPECT_TRUE(contains(text, found)) << page << " lacks " << found;
        }
        EXPECT_GE(seen, 6) << prog;
    }
}

// Every program answers -h/--help and -v/--version alike, takes --opt=value
// as well as --opt value, and still takes the spellings of earlier releases
// with a warning.
TEST(Options, OneMeaningPerLetterAcrossThePrograms) {
    for (const char *prog : {"kord", "kordstat", "sorvan-agent", "sorvan-sync", "kord-setup", "flowgate"}) {
        for (const char *h : {"-h", "--help"}) {
            auto r = testutil::run({testutil::bin_path(prog), h});
            EXPECT_EQ(r.status, 0) << prog << " " << h << ": " << r.err;
            EXPECT_TRUE(contains(r.out, "sage")) << prog << " " << h << " printed: " << r.out;
        }
        for (const char *v : {"-v", "--version"}) {
            auto r = testutil::run({testutil::bin_path(prog), v});
            EXPECT_EQ(r.status, 0) << prog << " " << v;
            EXPECT_TRUE(contains(r.out, TESSARON_VERSION)) << prog << " " << v << " printed: " << r.out;
        }
    }
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err;   // a part of standard error
    } cases[] = {
        {{"sorvan-sync", "--log=x", "--jobs=0", "drain"}, 2, "bad number of operations in flight '0'"},
        {{"sorvan-sync", "--log", "x", "--jobs", "0", "drain"}, 2, "bad number of operations in flight '0'"},
        {{"sorvan-sync", "-l", "x", "-j", "0", "drain"}, 2, "warning: -l is now -L"},
        {{"sorvan-sync", "-V"}, 0, "warning: -V is now -v"},
        {{"sorvan-agent", "-V"}, 0, "warning: -V is now -v"},
        {{"sorvan-agent", "--port=99999"}, 2, "bad port '99999'"},
        {{"kordstat", "--watch=0"}, 2, "Usage"},
        {{"kordstat", "--bogus"}, 2, "Usage"},
        {{"flowgate", "--bogus"}, 2, "Usage"},
    };
    for (auto &c : cases) {
        c.args[0] = testutil::bin_path(c.args[0]);
        auto r = testutil::run(c.args);
        EXPECT_EQ(r.status, c.status) << c.args[1] << ": " << r.err;
        EXPECT_TRUE(contains(r.err, c.err)) << c.args[1] << " said: " << r.err;
    }
}

}  // namespace
