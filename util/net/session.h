// Replication sessions: many file operations on one authenticated
// connection, each answered with its outcome (docs/protocol.md).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "util/sorvan.h"

namespace sorvan::session {

// The request kind that opens a session; agents without sessions reset it
// as an unknown kind. The header's argument is the version offered. From
// version 2 an agent takes operations sent ahead of their replies and may
// hold its replies until no more input is waiting.
inline constexpr uint32_t kKind = 16;
inline constexpr uint32_t kVersion = 2;

inline constexpr size_t kOpHead = 16;                  // kind, flags, sequence, reserved
inline constexpr size_t kOpSize = kOpHead + sizeof(FileRecord);
inline constexpr uint32_t kOpDescriptor = 0x1;         // a descriptor message follows
inline constexpr size_t kChunkHead = 8;                // raw length, flags
inline constexpr uint32_t kChunkLast = 0x1;
inline constexpr uint32_t kMaxChunk = 1u << 20;        // raw bytes in one chunk
inline constexpr size_t kReplyHead = 12;               // sequence, status, error number
inline constexpr size_t kMaxReplyText = 480;

// Reply statuses.
inline constexpr int32_t kDone = 0;
inline constexpr int32_t kMayHeal = 1;   // not now (a full disk, ...): keep the operation
inline constexpr int32_t kNever = 2;     // refused or impossible: give it up

struct Hello {
    uint32_t version = 0;
    uint32_t busy = 0;
};
struct Op {
    uint32_t kind = 0;   // 0 ends the session
    uint32_t flags = 0;
    uint32_t seq = 0;
    FileRecord rec{};
};
struct ChunkHead {
    uint32_t raw = 0;
    uint32_t flags = 0;
};
struct Reply {
    uint32_t seq = 0;
    int32_t status = 0;
    uint32_t err = 0;
    std::string text;
};

// Wire forms. Each parser takes bytes from the peer and checks everything.
void put_hello(const Hello &h, unsigned char out[8]);
bool parse_hello(const void *msg, size_t len, Hello *h);
void put_op(const Op &op, unsigned char out[kOpSize]);
bool parse_op(const void *msg, size_t len, Op *op);
bool parse_chunk_head(const void *payload, size_t len, ChunkHead *c);
std::string put_reply(const Reply &r);
bool parse_reply(const void *msg, size_t len, Reply *r);

// One chunk frame's payload (deciphered) inflated into `out` (room for
// kMaxChunk bytes): the raw length, or -1 when the chunk is damaged.
int64_t inflate_chunk(const unsigned char *payload, size_t len, unsigned char *out, ChunkHead *head);

// Agent side: serves a session on an authenticated connection whose header
// offered `version`. Returns when the requester ends it, breaks it off or
// stays silent too long.
void serve(int sock, const struct sockaddr_in *peer, uint32_t version);

// Whether an error number may heal by itself (a full disk, no memory).
bool may_heal(int err);

}  // namespace sorvan::session
