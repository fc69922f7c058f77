// Every function the header exports exists in libsorvan.so, and the
// library exports nothing else.
#include <gtest/gtest.h>

#include "testutil.h"

#include <regex>
#include <set>
#include <sstream>
#include <string>

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
    EXPECT_TRUE(extra.empty())
        << "exported by libsorvan.so but not declared in sorvan.h:\n"
        << join(extra)
        << "(names starting _ZNSt/_ZZNSt are standard-library template instances, which keep "
           "default visibility: avoid them in the library or hide them when linking)\n";
}

// Every operation and variable the servers link against by name.
TEST(Exports, EveryLibraryOperationIsExported) {
    auto exported = exported_names();
    for (const char *n : {
        "C", "CleanRegistry", "CreateClientSocket", "GetProcessSid", "GetRegItemNumber",
        "GetRegItemString", "HostsFileAddEntry", "HostsFileFindEntry", "HostsFileRemoveEntry",
        "MapClose", "MapOpen", "MemoryAllocate", "MemoryFree", "MemoryResize", "MemorySize",
        "NT_compress_NTFS_file", "NT_uncompress_NTFS_file", "Qv5_CloseAndSendRst",
        "Qv5_CreateServerSocket", "Qv5_EndGrEnt", "Qv5_GetGrEnt", "Qv5_GetGrNam",
        "Qv5_ReceivePacket", "Qv5_SendPacket", "Qv5_SendRecv", "SetRegItemNumber",
        "SetRegItemString", "SocketSetTimeOut", "UDPSendRecvfrom", "WakeUpOnLan", "_xread",
        "_xwrite", "addgrent", "appname", "arpadate", "authenticate_and_process", "basename",
        "build_agent_stats", "change_mode", "chggrent", "clear_readonly", "compress_data", "cp",
        "confine_roots", "confine_sweep", "cpfiles", "createdirs", "crypt", "crypt_md5", "deflate_buf", "delgrent",
        "des_decrypt_ecb", "des_encrypt_ecb", "des_init", "des_setkey_ecb", "do_mkdir",
        "do_remove", "do_rename", "drvinfo", "dwatch", "dwatch_stop", "editgroups",
        "fmtgrentry", "get_NT_SD", "getmxrr", "hexstr2dec", "inflate_buf", "key_phrase",
        "loadavg", "mail", "md5_final", "md5_init", "md5_update", "pdh_close", "pdh_collect",
        "pdh_init", "ping", "pw_random", "receive_file", "req_change_attribute",
        "req_change_sd", "req_mkdir", "req_remove", "req_rename", "req_reply", "req_reply_ok",
        "req_send", "req_send_file", "reset", "retry", "rm", "rm_all", "rm_pass", "rmdirs",
        "rmfiles", "send_agent_stats", "send_file", "send_file_content", "set_NT_SD",
        "set_NT_file_attr", "stat_file", "super_user_finish", "super_user_init", "thread2fork",
        "timer", "tlog_delete_rec", "tlog_do_op", "tlog_init", "tlog_process", "tlog_rec_last",
        "tlog_read_rec", "tlog_search", "tlog_shutdown", "tlog_write_rec", "total_memory", "trim_domain",
        "watch_dog", "xdecrypt", "xencrypt", "xfree", "xmalloc", "xread", "xwrite",
        "zlib_inflate_init",
         })
        EXPECT_TRUE(exported.count(n)) << n << " is not exported by libsorvan.so";
}

}  // namespace
