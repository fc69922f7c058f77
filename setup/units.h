// The systemd units of the master server and the traffic controller, as
// both `kord -install` and the installer's register_nt_service write them.
// Header only: the installer actions link nothing of the system.
#pragma once

#include <string>
#include <vector>

namespace tessaron_units {

inline constexpr const char *kMasterUnit = "tessaron-master-server.service";
inline constexpr const char *kTrafficUnit = "tessaron-traffic-controller.service";
inline constexpr const char *kServiceUser = "tessaron";

// One word of a unit line: specifiers (and in Exec lines variables)
// escaped, quoted when it holds blanks, quotes or backslashes. False for
// a control character, which would end the line and let the rest of the
// word become unit settings.
inline bool unit_word(const std::string &s, bool exec, std::string &out) {
    bool quote = s.find_first_of(" \t\"\\") != std::string::npos;
    std::string w;
    for (char c : s) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
        if (c == '%') w += "%%";
        else if (exec && c == '$') w += "$$";
        else if (quote && (c == '"' || c == '\\')) w += '\\', w += c;
        else w += c;
    }
    out += quote ? "\"" + w + "\"" : w;
    return true;
}

namespace detail {

// What both services share: their own user, no way to gain privileges,
// a read-only system, nothing of other users, devices or the kernel.
inline constexpr const char *kHardening =
    "NoNewPrivileges=yes\n"
    "ProtectSystem=strict\n"
    "ProtectHome=yes\n"
    "PrivateTmp=yes\n"
    "PrivateDevices=yes\n"
    "PrivateMounts=yes\n"
    "ProtectKernelTunables=yes\n"
    "ProtectKernelModules=yes\n"
    "ProtectKernelLogs=yes\n"
    "ProtectControlGroups=yes\n"
    "ProtectClock=yes\n"
    "ProtectHostname=yes\n"
    "ProtectProc=invisible\n"
    "RestrictNamespaces=yes\n"
    "RestrictRealtime=yes\n"
    "RestrictSUIDSGID=yes\n"
    "LockPersonality=yes\n"
    "MemoryDenyWriteExecute=yes\n"
    "RemoveIPC=yes\n"
    "SystemCallArchitectures=native\n"
    "SystemCallFilter=@system-service\n"
    "SystemCallFilter=~@privileged\n"
    "SystemCallErrorNumber=EPERM\n"
    "UMask=0022\n";

// Empty when a path or value cannot be written into a unit.
inline std::string service_unit(const std::string &description, const std::string &exe,
                                const std::vector<std::string> &environment,
                                const std::string &privileges,
                                const std::vector<std::string> &writable) {
    std::string t = "[Unit]\nDescription=" + description +
                    "\nWants=network-online.target\nAfter=network-online.target\n\n"
                    "[Service]\nType=notify\nNotifyAccess=main\n";
    for (const std::string &e : environment) {
        t += "Environment=";
        if (!unit_word(e, false, t)) return "";
        t += '\n';
    }
    t += "ExecStart=";
    if (!unit_word(exe, true, t)) return "";
    t += "\nExecReload=/bin/kill -HUP $MAINPID\nRestart=on-failure\n";
    t += std::string("User=") + kServiceUser + "\nGroup=" + kServiceUser + "\n";
    t += privileges;
    if (!writable.empty()) {
        // "-": a missing directory is kord's to report, not systemd's.
        t += "ReadWritePaths=";
        for (size_t i = 0; i < writable.size(); i++) {
            if (i) t += ' ';
            if (!unit_word("-" + writable[i], false, t)) return "";
        }
        t += '\n';
    }
    t += kHardening;
    t += "\n[Install]\nWantedBy=multi-user.target\n";
    return t;
}

}  // namespace detail

// kord: raw ICMP sockets, writes only its maps, lock, heartbeat (the
// `writable` directories) and zone files; names, mail and the notify socket.
inline std::string master_unit(const std::string &description, const std::string &exe,
                               const std::vector<std::string> &environment,
                               const std::vector<std::string> &writable) {
    return detail::service_unit(description, exe, environment,
                                "AmbientCapabilities=CAP_NET_RAW\n"
                                "CapabilityBoundingSet=CAP_NET_RAW\n"
                                "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX AF_NETLINK\n",
                                writable);
}

// The traffic controller: reads the maps and zone files, sends DNS
// updates; no capability and nothing to write.
inline std::string traffic_unit(const std::string &description, const std::string &exe,
                                const std::vector<std::string> &environment) {
    return detail::service_unit(description, exe, environment,
                                "CapabilityBoundingSet=\n"
                                "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX AF_NETLINK\n",
                                {});
}

}  // namespace tessaron_units
