// Request protocol internals shared by the requester, the request server
// and file transfer.
#pragma once

#include <cstdint>
#include <string>

#include "util/net/frame.h"
#include "util/sorvan.h"

namespace sorvan {

// RequestHeader <-> its 20 wire bytes (three big-endian words, 8 key bytes).
void encode_header(const RequestHeader &h, unsigned char out[20]);
void decode_header(const unsigned char in[20], RequestHeader *h);

// The 8-byte request key of a password (all zero for null); cached per thread.
void derive_key(const char *password, const char *salt, unsigned char key[8]);

// A file operation's request, as deliver and open_request make it.
struct Delivery {
    uint32_t addr;
    int port;
    int32_t timeout_us;          // to connect
    const char *password;
    const char *salt;
    FileRecord *rec;
    uint32_t kind;
    bool descriptor;             // send the descriptor of path2, else path
    // ... of the source (path) instead, through a final link: a file's
    // copy takes the mode and owner of what it copies, never those of
    // whatever the destination path names on the requester.
    bool descriptor_of_source;
    // What follows the messages (a file's content): 0 sent; -1 the
    // connection failed; -2 it can never be sent (why in *why).
    int (*content)(int sock, void *arg, std::string *why) = nullptr;
    void *arg = nullptr;
};

// Delivers the request and waits until the agent ends the connection,
// which it does once it has carried the operation out. What can heal
// (no connection, a time-out, a reset while the agent accepts the key) is
// tried again after a pause growing from 0.5 s to 30 s; what cannot is
// logged once and answered at once: -1 address 0; -5 the agent rejects the
// key; -6 the agent keeps resetting the request; -100 the content can
// never be sent. 0 when delivered.
int deliver(const Delivery &d);

// The messages of the request (header, record, descriptor) on a new
// connection: the socket, or req_send's failure codes. With `retry`, only
// what can never succeed is answered (-1, or -5 when the agent rejects the
// key), after a pause growing as deliver's.
int open_request(const Delivery &d, bool retry);

// One log line about a file operation: "<op> <path> to <peer>: <text>".
void note_request(int priority, const Delivery &d, const std::string &text);

// True when the peer reset the connection (it is closed with an error).
bool connection_reset(int sock);

// The payloads of several frames in one buffer, each enciphered (or
// deciphered) as xencrypt would on its own, but their blocks in one bulk
// pass: a batch of small messages costs no block-by-block calls. -1 when
// the cipher is not set up.
struct Span {
    size_t at;
    uint32_t len;
};
int32_t xcrypt_spans(unsigned char *buf, const Span *spans, size_t n, bool encipher);

}  // namespace sorvan
