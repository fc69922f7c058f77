// zlib helpers: declared in the library header's "Compression"; what the
// receiving side of a transfer shares with them.
#pragma once

#include <cstdint>

#include "util/sorvan.h"

namespace sorvan {

// inflate_to's result when the stream holds more than its limit.
inline constexpr int kInflateTooLong = -103;

// inflate_buf into an open file, writing never more than `limit` bytes
// (kInflateTooLong when the stream holds more); a failed file write gives
// Z_ERRNO. *err (may be null) gets the errno of a failed write or read.
int64_t inflate_to(int sock, int fd, uint64_t limit, uint64_t *written, int32_t decipher, int *err);

// compress2 at `level` with window and hash sized to the input (a short
// input costs no full zlib state): Z_OK, Z_BUF_ERROR when *dlen is too small.
int deflate_sized(unsigned char *dst, unsigned long *dlen, const unsigned char *src, unsigned long len, int level);

// A zlib stream of literals and runs of one byte, in fixed codes: for small
// messages that are mostly zeros, many times cheaper than deflate and about
// as short. Z_OK, or Z_BUF_ERROR when *dlen is too small.
int deflate_runs(unsigned char *dst, unsigned long *dlen, const unsigned char *src, unsigned long len);

// uncompress with an inflate state kept per thread: Z_OK, Z_BUF_ERROR when
// *dlen is too small, Z_DATA_ERROR for a damaged or cut stream.
int inflate_sized(unsigned char *dst, unsigned long *dlen, const unsigned char *src, unsigned long len);

// The zlib level of content streamed with deflate_buf (a request of its
// own): 9 unless set_stream_level fixed another (1..9; anything else: 9).
// The receiver inflates any level: the wire format is the same.
int stream_level();
void set_stream_level(int level);

// Gives a new file the hidden attribute word (hidden, archive).
void mark_hidden(int fd);

}  // namespace sorvan
