// Every function the header exports exists in libsorvan.so, and the
// library exports nothing else.
#include <gtest/gtest.h>

#include "tests/support/testutil.h"

#include <regex>
#include <set>
#include <sstream>

namespace {

std::set<std::string> declared_names() {
    std::string header = testutil::read_file(TESSARON_SOURCE_DIR "/util/sorvan.h");
    // Declarations and variables marked SORVAN_API: the name before "(" or
    // the last word before ";" / "[".
    std::set<std::string> names;
    std::regex decl(R"(SORVAN_API\s+([^;{(]*?)\b([A-Za-z_]\w*)\s*(\(|;|\[))");
    for (auto it = std::sregex_iterator(header.begin(), header.end(), decl);
         it != std::sregex_iterator(); ++it)
        names.insert((*it)[2]);
    names.erase("SORVAN_API");
    names.erase("__attribute__");  // the macro's own definition
    return names;
}

std::set<std::string> exported_names() {
    auto r = testutil::run({"/usr/bin/nm", "-D", "--defined-only", TESSARON_LIB_DIR "/libsorvan.so"});
    std::set<std::string> names;
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string addr, type, name;
        if (!(f >> addr >> type >> name)) continue;
        // Linker-made symbols are not ours.
        if (name == "_init" || name == "_fini" || name == "_edata" || name == "_end" ||
            name == "__bss_start")
            continue;
        names.insert(name.substr(0, name.find('@')));
    }
    return names;
}

std::string join(const std::set<std::string> &s) {
    std::string out;
    for (const auto &n : s) out += "  " + n + "\n";
    return out;
}

TEST(Exports, HeaderAndLibraryAgree) {
    auto declared = declared_names();
    auto exported = exported_names();
    // The declaration parser finds the known shapes.
    for (const char *n : {"GetRegItemString", "SetRegItemNumber", "HostsFileAddEntry", "hexstr2dec",
                          "retry", "appname", "arpadate"})
        ASSERT_TRUE(declared.count(n)) << n;
    ASSERT_FALSE(exported.empty()) << "nm found nothing in " TESSARON_LIB_DIR "/libsorvan.so";
    std::set<std::string> missing, extra;
    for (const auto &n : declared)
        if (!exported.count(n)) missing.insert(n);
    for (const auto &n : exported)
        if (!declared.count(n)) extra.insert(n);
    EXPECT_TRUE(missing.empty()) << "declared in sorvan.h but not exported by libsorvan.so:\n"
                                 << join(missing);
    EXPECT_TRUE(extra.empty()) << "exported by libsorvan.so but not declared in sorvan.h:\n" << join(extra);
}

}  // namespace
