// The node-file reader, open for tests and the fuzzer.
#pragma once

namespace kord {

inline constexpr int kNodeKeyCount = 4;
inline constexpr const char *kNodeKeys[kNodeKeyCount] = {"min_fs", "min_vm", "max_connections",
                                                         "traffic_alloc"};

// The four values as text, empty when the file gave none (16 characters at most).
struct NodeFileValues {
    char value[kNodeKeyCount][17];
};

// Reads the lines of an open node file (fd < 0: nothing); this thread's buffers.
void parse_node_file(int fd, NodeFileValues *values);

}  // namespace kord
