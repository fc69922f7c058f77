// Request protocol internals shared by the requester, the request server
// and file transfer.
#pragma once

#include <cstdint>

#include "sorvan.h"

namespace sorvan {

// RequestHeader <-> its 20 wire bytes (three big-endian words, 8 key bytes).
void encode_header(const RequestHeader &h, unsigned char out[20]);
void decode_header(const unsigned char in[20], RequestHeader *h);

// The 8-byte request key of a password (all zero for null); cached per thread.
void derive_key(const char *password, const char *salt, unsigned char key[8]);

// xread that also hands back the message length; null when none was read.
void *xread_len(int sock, uint32_t *len);

// Reads one sealed FileRecord; a shorter message is zero-extended and both
// paths are terminated inside their fields. 0, or -1 when none was read.
int read_file_record(int sock, FileRecord *rec);

}  // namespace sorvan
