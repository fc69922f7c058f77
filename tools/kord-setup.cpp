// kord-setup ACTION PACKAGE_DIR SECOND_DIR ROOT
// kord-setup --help | --version
//
// Runs one installer action for packaging scripts; exits 0 when the action
// succeeded (returned 1), 1 when it failed, 2 on a usage error. A "-"
// stands for an argument the action does not read.
//
// Besides the five actions, two commands keep the uninstall key's
// "InstallSource" in the registry, as the installer engine does elsewhere:
//   set_install_source SOURCE_DIR - ROOT     records SOURCE_DIR
//   clean_install_source - - ROOT            deletes the uninstall key
#include "setup/kord_setup.h"
#include "util/sorvan.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr const char *kUninstallParent =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
constexpr const char *kProductKey = "{5C1D2E7A-93B4-4F60-A1D8-7E2B94C0F315}";

using Action = int32_t (*)(void *, const char *, const char *, const char *, const char *);

struct Entry {
    const char *name;
    Action action;
};

constexpr Entry kActions[] = {
    {"msi_copy2installdir", msi_copy2installdir},
    {"msi_copy2srcdir", msi_copy2srcdir},
    {"msi_delsrcdir", msi_delsrcdir},
    {"register_nt_service", register_nt_service},
    {"deregister_nt_service", deregister_nt_service},
};

const char *arg(const char *a) { return std::strcmp(a, "-") == 0 ? nullptr : a; }

void help(FILE *to) {
    std::fprintf(to,
                 "usage: kord-setup ACTION PACKAGE_DIR SECOND_DIR ROOT\n"
                 "       kord-setup -h | --help | -v | --version\n"
                 "Runs one installer action; \"-\" stands for an argument it does not read.\n"
                 "actions:\n"
                 "  msi_copy2installdir PACKAGE_DIR SYSTEM_DIR ROOT  keep the package in ROOT/lib/setup\n"
                 "  msi_copy2srcdir - TEMPLATE_DIR ROOT    put it back into the install source\n"
                 "  msi_delsrcdir - - ROOT                 remove what the removal leaves\n"
                 "  register_nt_service - - ROOT           write and enable both service units\n"
                 "  deregister_nt_service - - ROOT         stop, disable and delete them\n"
                 "  set_install_source SOURCE_DIR - ROOT   record the install source\n"
                 "  clean_install_source - - ROOT          delete the uninstall key\n"
                 "Exit status: 0 the action succeeded, 1 it failed, 2 usage.\n"
                 "Environment: TESSARON_UNIT_DIR (units; no systemctl when set),\n"
                 "TESSARON_REGISTRY (registry tree), DPKG_ROOT (staging prefix left out of units).\n");
}

int usage() {
    help(stderr);
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        help(stdout);
        return 0;
    }
    if (argc == 2 && (std::strcmp(argv[1], "--version") == 0 || std::strcmp(argv[1], "-v") == 0)) {
        std::printf("kord-setup (Tessaron) %s\n", TESSARON_VERSION);
        return 0;
    }
    if (argc != 5) return usage();
    const char *name = argv[1];
    const char *package_dir = arg(argv[2]);
    const char *second_dir = arg(argv[3]);
    const char *root = arg(argv[4]);

    if (std::strcmp(name, "set_install_source") == 0) {
        if (!package_dir) return usage();
        std::string key = std::string(kUninstallParent) + "\\" + kProductKey;
        if (SetRegItemString(key.c_str(), "InstallSource", package_dir) != 0) {
            std::fprintf(stderr, "kord-setup: cannot record the install source %s\n",
                         package_dir);
            return 1;
        }
        return 0;
    }
    if (std::strcmp(name, "clean_install_source") == 0) {
        CleanRegistry(kUninstallParent, kProductKey);
        // Success when the key is gone, also when it was never there.
        std::string key = std::string(kUninstallParent) + "\\" + kProductKey;
        if (GetRegItemString(key.c_str(), "InstallSource") != nullptr) {
            std::fprintf(stderr, "kord-setup: cannot delete the uninstall key\n");
            return 1;
        }
        return 0;
    }
    for (const Entry &e : kActions)
        if (std::strcmp(name, e.name) == 0)
            return e.action(nullptr, package_dir, second_dir, root, nullptr) == 1 ? 0 : 1;
    std::fprintf(stderr, "kord-setup: unknown action %s\n", name);
    return usage();
}
