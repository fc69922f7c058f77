// zlib helpers: in-memory messages and file content streamed on a socket.
#include "util/store/compress.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "port/varro.h"

namespace sorvan {

namespace {
std::atomic<int> g_stream_level{9};
}

int stream_level() { return g_stream_level.load(std::memory_order_relaxed); }
void set_stream_level(int level) { g_stream_level.store(level >= 1 && level <= 9 ? level : 9); }

}  // namespace sorvan

namespace {

constexpr uInt kPiece = 32768;      // compressed bytes per piece on the wire
constexpr uInt kOutBuf = 65536;     // file writes of inflate_buf
constexpr int kTooLong = sorvan::kInflateTooLong;
constexpr const char *kZlibVersion = ZLIB_VERSION;  // the initialisers' check

int write_all(int fd, const unsigned char *p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) return -1;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return 0;
}

// compress2 with the window and hash sized to the input: the stream is the
// same zlib format, but a short message no longer costs zlib's full 256 KiB
// of state (and the mmap and page faults that come with it).
// Small messages are sealed by the thousand: their deflate states are kept
// per thread and reset, not set up and torn down for each.
constexpr int kKeptBits = 13;   // windows up to 8 KiB

struct KeptStreams {
    z_stream z[10][kKeptBits - 9 + 1];
    bool ready[10][kKeptBits - 9 + 1] = {};
    ~KeptStreams() {
        for (int l = 0; l < 10; ++l)
            for (int b = 0; b <= kKeptBits - 9; ++b)
                if (ready[l][b]) deflateEnd(&z[l][b]);
    }
};

int deflate_into(unsigned char *dst, uLongf *dlen, const unsigned char *src, uLong len, int level) {
    int wbits = 9;
    while (wbits < 15 && (uLong(1) << wbits) < len) ++wbits;
    int mem = wbits - 6 < 1 ? 1 : wbits - 6 > 8 ? 8 : wbits - 6;
    thread_local KeptStreams kept;
    bool keep = wbits <= kKeptBits && level >= 0 && level <= 9;
    z_stream local;
    z_stream *z = keep ? &kept.z[level][wbits - 9] : &local;
    int rc = Z_OK;
    if (keep && kept.ready[level][wbits - 9]) {
        rc = deflateReset(z);
    } else {
        std::memset(z, 0, sizeof *z);
        rc = deflateInit2_(z, level, Z_DEFLATED, wbits, mem, Z_DEFAULT_STRATEGY, kZlibVersion,
                           static_cast<int>(sizeof *z));
        if (keep && rc == Z_OK) kept.ready[level][wbits - 9] = true;
    }
    if (rc != Z_OK) return rc;
    z->next_in = const_cast<Bytef *>(src);
    z->avail_in = static_cast<uInt>(len);
    z->next_out = dst;
    z->avail_out = static_cast<uInt>(*dlen);
    rc = deflate(z, Z_FINISH);
    *dlen = z->total_out;
    if (!keep) deflateEnd(z);
    if (rc == Z_STREAM_END) return Z_OK;
    return rc == Z_OK ? Z_BUF_ERROR : rc;
}

// Small messages are opened by the thousand too: one inflate state per
// thread, reset for each. A stream inflated in one call to its end needs
// no window, so none is filled.
struct KeptInflate {
    z_stream z;
    bool ready = false;
    ~KeptInflate() {
        if (ready) inflateEnd(&z);
    }
};

// uncompress's results: Z_BUF_ERROR when dst is too small, Z_DATA_ERROR
// for a damaged or cut stream.
int inflate_into(unsigned char *dst, uLongf *dlen, const unsigned char *src, uLong len) {
    thread_local KeptInflate kept;
    z_stream *z = &kept.z;
    if (!kept.ready) {
        std::memset(z, 0, sizeof *z);
        if (inflateInit_(z, kZlibVersion, static_cast<int>(sizeof *z)) != Z_OK) return Z_MEM_ERROR;
        kept.ready = true;
    } else if (inflateReset(z) != Z_OK) {
        return Z_STREAM_ERROR;
    }
    z->next_in = const_cast<Bytef *>(src);
    z->avail_in = static_cast<uInt>(len);
    z->next_out = dst;
    z->avail_out = static_cast<uInt>(*dlen);
    int rc = inflate(z, Z_FINISH);
    *dlen = z->total_out;
    if (rc == Z_STREAM_END) return Z_OK;
    if (rc == Z_NEED_DICT || (rc == Z_BUF_ERROR && z->avail_out > 0)) return Z_DATA_ERROR;
    return rc == Z_OK || rc == Z_BUF_ERROR ? Z_BUF_ERROR : rc;
}

// A large block goes out as one zlib stream made of independent pieces
// compressed on every core: each block of the input is deflated on its
// own, primed with the 32 KiB before it as dictionary (so it loses almost
// nothing against one stream), and ends with a sync flush on a byte
// boundary, the last one with the final block. Joined behind a zlib header
// and followed by the Adler-32 of the whole input (combined from the
// blocks'), they make a stream any inflater reads.
constexpr size_t kBlock = 128 * 1024;
constexpr size_t kDict = 32768;

class BlockDeflater {
public:
    BlockDeflater(const unsigned char *in, uint64_t len) : in_(in), len_(len), blocks_((len + kBlock - 1) / kBlock) {}

    // Total compressed bytes; -10 no memory; Z_ERRNO a piece not written.
    int64_t run(int sock, int encipher) {
        unsigned n = std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
        slots_.resize(2 * n + 1);
        std::vector<std::thread> pool;
        for (unsigned i = 0; i < n; ++i) {
            try {
                pool.emplace_back([this] { work(); });
            } catch (...) {
                break;   // fewer helpers; the writer compresses what nobody took
            }
        }
        int64_t rc = write_out(sock, encipher);
        {
            std::lock_guard<std::mutex> lk(m_);
            stop_ = true;
        }
        cv_.notify_all();
        for (auto &t : pool) t.join();
        return rc;
    }

private:
    struct Slot {
        size_t block = SIZE_MAX;   // which block the slot holds, once done
        std::vector<unsigned char> out;
        uLong adler = 1;
        bool ok = false;
    };
    struct Stream {
        z_stream z{};
        bool ready = false;
        ~Stream() {
            if (ready) deflateEnd(&z);
        }
    };

    void compress(Stream &st, size_t b, Slot &slot) {
        size_t start = b * kBlock, n = size_t(std::min<uint64_t>(kBlock, len_ - start));
        bool last = b + 1 == blocks_;
        slot.ok = false;
        slot.adler = adler32(1, in_ + start, uInt(n));
        if (!st.ready) {
            if (deflateInit2(&st.z, sorvan::stream_level(), Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return;
            st.ready = true;
        } else if (deflateReset(&st.z) != Z_OK) {
            return;
        }
        if (b > 0 && deflateSetDictionary(&st.z, in_ + start - kDict, kDict) != Z_OK) return;
        try {
            slot.out.resize(deflateBound(&st.z, uLong(n)) + 64);
        } catch (...) {
            return;
        }
        st.z.next_in = const_cast<Bytef *>(in_ + start);
        st.z.avail_in = uInt(n);
        size_t done = 0;
        for (;;) {
            st.z.next_out = slot.out.data() + done;
            st.z.avail_out = uInt(slot.out.size() - done);
            int rc = deflate(&st.z, last ? Z_FINISH : Z_SYNC_FLUSH);
            done = slot.out.size() - st.z.avail_out;
            if (last ? rc == Z_STREAM_END : (rc == Z_OK && st.z.avail_out > 0)) break;
            if (rc != Z_OK && rc != Z_BUF_ERROR) return;
            try {
                slot.out.resize(slot.out.size() * 2);
            } catch (...) {
                return;
            }
        }
        slot.out.resize(done);
        slot.ok = true;
    }

    // Takes the next block when one is free to start; false when none is.
    bool take(std::unique_lock<std::mutex> &lk, Stream &st) {
        if (next_ >= blocks_ || next_ >= written_ + slots_.size()) return false;
        size_t b = next_++;
        Slot &slot = slots_[b % slots_.size()];
        Slot fresh;
        fresh.out.swap(slot.out);   // reuse the buffer
        lk.unlock();
        compress(st, b, fresh);
        fresh.block = b;
        lk.lock();
        slot = std::move(fresh);
        cv_.notify_all();
        return true;
    }

    void work() {
        Stream st;
        std::unique_lock<std::mutex> lk(m_);
        for (;;) {
            if (stop_) return;
            if (!take(lk, st)) cv_.wait(lk);
        }
    }

    int64_t write_out(int sock, int encipher) {
        std::vector<unsigned char> piece;
        try {
            piece.resize(kPiece);
        } catch (...) {
            return -10;
        }
        size_t fill = 0;
        int64_t total = 0;
        bool write_failed = false;
        auto put = [&](const unsigned char *p, size_t n) {
            while (n > 0 && !write_failed) {
                size_t k = std::min(n, size_t(kPiece) - fill);
                std::memcpy(piece.data() + fill, p, k);
                fill += k;
                p += k;
                n -= k;
                total += int64_t(k);
                if (fill == kPiece) {
                    if (encipher) xencrypt(piece.data(), kPiece);
                    if (nwrite(sock, piece.data(), int(kPiece)) != int(kPiece)) write_failed = true;
                    fill = 0;
                }
            }
        };
        static const unsigned char header[2] = {0x78, 0xDA};   // deflate, 32 KiB window, level 9
        put(header, 2);
        uLong adler = adler32(0, nullptr, 0);
        Stream mine;
        std::vector<unsigned char> out;
        for (size_t b = 0; b < blocks_ && !write_failed; ++b) {
            Slot &slot = slots_[b % slots_.size()];
            bool ok;
            {
                std::unique_lock<std::mutex> lk(m_);
                while (slot.block != b)
                    if (!take(lk, mine)) cv_.wait(lk);
                ok = slot.ok;
                out.swap(slot.out);   // the slot keeps the last buffer for reuse
                slot.block = SIZE_MAX;
                ++written_;
                adler = adler32_combine(adler, slot.adler, z_off_t(std::min<uint64_t>(kBlock, len_ - b * kBlock)));
            }
            cv_.notify_all();
            if (!ok) return -10;
            put(out.data(), out.size());
        }
        if (write_failed) {
            NTperror("deflate_buf");
            return Z_ERRNO;
        }
        unsigned char trailer[4] = {uint8_t(adler >> 24), uint8_t(adler >> 16), uint8_t(adler >> 8), uint8_t(adler)};
        put(trailer, 4);
        if (!write_failed && fill > 0) {
            if (encipher) xencrypt(piece.data(), uint32_t(fill));
            if (nwrite(sock, piece.data(), int(fill)) != int(fill)) write_failed = true;
        }
        if (write_failed) {
            NTperror("deflate_buf");
            return Z_ERRNO;
        }
        return total;
    }

    const unsigned char *in_;
    uint64_t len_;
    size_t blocks_;
    std::vector<Slot> slots_;
    std::mutex m_;
    std::condition_variable cv_;
    size_t next_ = 0;      // next block to start
    size_t written_ = 0;   // blocks handed to the connection
    bool stop_ = false;
};

}  // namespace

namespace sorvan {

// Random or already compressed content gains nothing from deflate, which
// still spends as long on it as on text: a long input that gives back under
// 3 % at three samples (start, middle, end) goes out in stored blocks.
static bool incompressible(const unsigned char *src, unsigned long len) {
    constexpr unsigned long kSample = 4096;
    if (len < 16 * kSample) return false;
    unsigned char out[kSample + 64];
    for (unsigned long at : {0ul, len / 2 - kSample / 2, len - kSample}) {
        uLongf n = sizeof out;
        if (deflate_into(out, &n, src + at, kSample, 1) != Z_OK) return false;
        if (n < kSample - kSample * 3 / 100) return false;
    }
    return true;
}

int deflate_sized(unsigned char *dst, unsigned long *dlen, const unsigned char *src, unsigned long len, int level) {
    uLongf n = *dlen;
    if (level > 0 && incompressible(src, len)) level = 0;
    int rc = deflate_into(dst, &n, src, len, level);
    *dlen = n;
    return rc;
}

int inflate_sized(unsigned char *dst, unsigned long *dlen, const unsigned char *src, unsigned long len) {
    uLongf n = *dlen;
    int rc = inflate_into(dst, &n, src, len);
    *dlen = n;
    return rc;
}

// Fixed-code deflate of literals and runs: the shape of the protocol's
// small messages (a path, then zeros to the end of its field) needs no
// search for matches, and zlib's set-up costs more than the message.
namespace {

class Bits {
public:
    Bits(unsigned char *p, size_t room) : p_(p), end_(p + room) {}
    void put(uint32_t v, int n) {
        acc_ |= uint64_t(v) << fill_;
        fill_ += n;
        while (fill_ >= 8) byte(uint8_t(acc_)), acc_ >>= 8, fill_ -= 8;
    }
    void align() {
        if (fill_ > 0) byte(uint8_t(acc_));
        acc_ = 0;
        fill_ = 0;
    }
    void byte(uint8_t b) {
        if (p_ < end_) *p_ = b;
        ++p_;
        over_ = over_ || p_ > end_;
    }
    bool over() const { return over_; }
    unsigned char *at() const { return p_; }

private:
    unsigned char *p_, *end_;
    uint64_t acc_ = 0;
    int fill_ = 0;
    bool over_ = false;
};

// The fixed literal/length codes, reversed: Huffman codes go out first bit
// first, into a stream filled from the low bit.
struct FixedCodes {
    uint16_t code[288];
    uint8_t bits[288];
    constexpr FixedCodes() : code(), bits() {
        for (int sym = 0; sym < 288; ++sym) {
            uint32_t c = sym < 144 ? 0x30 + sym : sym < 256 ? 0x190 + sym - 144 : sym < 280 ? sym - 256 : 0xC0 + sym - 280;
            int n = sym < 144 ? 8 : sym < 256 ? 9 : sym < 280 ? 7 : 8;
            uint32_t r = 0;
            for (int i = 0; i < n; ++i) r |= ((c >> i) & 1u) << (n - 1 - i);
            code[sym] = uint16_t(r);
            bits[sym] = uint8_t(n);
        }
    }
};
constexpr FixedCodes kFixed;

void put_symbol(Bits &b, int sym) { b.put(kFixed.code[sym], kFixed.bits[sym]); }

void put_run(Bits &b, size_t len) {   // a match at distance 1, 3..258 bytes
    static constexpr uint16_t kBase[] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                         31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
    static constexpr uint8_t kExtra[] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                         2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    int c = 28;
    while (kBase[c] > len) --c;
    put_symbol(b, 257 + c);
    if (kExtra[c]) b.put(uint32_t(len - kBase[c]), kExtra[c]);
    b.put(0, 5);   // distance code 0: one back
}

}  // namespace

int deflate_runs(unsigned char *dst, unsigned long *dlen, const unsigned char *src, unsigned long len) {
    Bits b(dst, *dlen);
    b.byte(0x78);
    b.byte(0x01);
    b.put(3, 3);   // the last block, fixed codes
    // The Adler-32 of the input, a run at a time: k bytes of v add k * v to
    // the first sum and k * first + v * k(k+1)/2 to the second.
    constexpr uint64_t kMod = 65521;
    uint64_t s1 = 1, s2 = 0;
    for (unsigned long i = 0; i < len && !b.over();) {
        unsigned long r = 1;
        uint64_t same = 0x0101010101010101ull * src[i];
        for (uint64_t w; i + r + 8 <= len && (std::memcpy(&w, src + i + r, 8), w == same);) r += 8;
        while (i + r < len && src[i + r] == src[i]) ++r;
        put_symbol(b, src[i]);
        unsigned long rest = r - 1;
        while (rest >= 3) {
            size_t m = std::min<unsigned long>(rest, 258);
            if (rest - m > 0 && rest - m < 3) m = rest - 3;   // leave a run for the tail
            put_run(b, m);
            rest -= m;
        }
        while (rest-- > 0) put_symbol(b, src[i]);
        uint64_t k = r, v = src[i];
        s2 = (s2 + k % kMod * s1 + v * (k * (k + 1) / 2 % kMod)) % kMod;
        s1 = (s1 + k % kMod * v) % kMod;
        i += r;
    }
    put_symbol(b, 256);
    b.align();
    uint32_t check = uint32_t(s2 << 16 | s1);
    for (int s = 24; s >= 0; s -= 8) b.byte(uint8_t(check >> s));
    if (b.over()) return Z_BUF_ERROR;
    *dlen = static_cast<unsigned long>(b.at() - dst);
    return Z_OK;
}

void mark_hidden(int fd) {
    // The attribute word of a new hidden file (hidden, archive), kept where
    // the other attributes are; nothing where the file system has no room.
    const unsigned char word[4] = {0x22, 0, 0, 0};
    (void)fsetxattr(fd, "user.tessaron.attributes", word, sizeof word, 0);
}

int64_t inflate_to(int sock, int fd, uint64_t limit, uint64_t *written, int32_t decipher, int *err) {
    z_stream z;
    int rc = zlib_inflate_init(&z);
    if (rc != Z_OK) return rc;
    unsigned char piece[kPiece];
    unsigned char *out = nullptr;
    uint64_t file_bytes = 0;
    int last_read = 0, saved = 0;
    bool ended = false, failed = false;
    // Writes what the output buffer holds; a write error or more content
    // than allowed ends the stream.
    auto flush = [&](uInt n) {
        if (file_bytes + n > limit) {
            rc = kTooLong;
        } else if (write_all(fd, out, n) != 0) {
            saved = errno;
            rc = Z_ERRNO;
        } else {
            file_bytes += n;
            return true;
        }
        failed = true;
        return false;
    };
    for (;;) {
        last_read = nread(sock, piece, kPiece);
        if (last_read <= 0) {
            saved = errno;
            break;
        }
        if (decipher) xdecrypt(piece, static_cast<uint32_t>(last_read));
        z.next_in = piece;
        z.avail_in = static_cast<uInt>(last_read);
        while (z.avail_in > 0) {
            if (z.avail_out == 0) {
                if (out && !flush(kOutBuf)) break;
                std::free(out);
                out = static_cast<unsigned char *>(std::malloc(kOutBuf));
                if (!out) {
                    inflateEnd(&z);
                    return -101;
                }
                z.next_out = out;
                z.avail_out = kOutBuf;
            }
            rc = inflate(&z, Z_NO_FLUSH);
            if (rc == Z_STREAM_END) {
                ended = true;
                break;
            }
            if (rc == Z_OK || rc == Z_BUF_ERROR) {
                // No progress with input left: the stream is damaged.
                if (rc == Z_BUF_ERROR && z.avail_out > 0 && z.avail_in > 0) {
                    rc = Z_DATA_ERROR;
                    failed = true;
                    break;
                }
                continue;
            }
            if (rc == Z_ERRNO) NTperror("xdata_getfile");
            failed = true;
            break;
        }
        if (ended || failed) break;
    }
    if (!failed && out) flush(kOutBuf - z.avail_out);
    if (!failed && written) *written = file_bytes;
    std::free(out);
    int64_t consumed = static_cast<int64_t>(z.total_in);
    inflateEnd(&z);
    if (err) *err = saved;
    if (failed) {
        if (rc == Z_ERRNO) {
            errno = saved;
            NTperror("xdata_getfile");
        }
        return rc;
    }
    if (last_read < 0) return -102;
    return ended ? consumed : 0;
}

}  // namespace sorvan

extern "C" {

SORVAN_API void *compress_data(const void *src, uint32_t len, uint32_t *out_len, int32_t *status,
                               int32_t mode) {
    if (!out_len || !status) return nullptr;
    *status = 0;
    if (mode == 0) {
        // Most messages open within 64 KiB: inflated once there, and sized
        // to fit, instead of tried again in ever larger buffers.
        thread_local std::vector<unsigned char> room(64 * 1024);
        uLongf dlen = static_cast<uLongf>(room.size());
        int rc = sorvan::inflate_sized(room.data(), &dlen, static_cast<const Bytef *>(src), len);
        if (rc == Z_OK) {
            auto *out = static_cast<unsigned char *>(std::malloc(dlen ? dlen : 1));
            if (!out) return nullptr;
            std::memcpy(out, room.data(), dlen);
            *out_len = static_cast<uint32_t>(dlen);
            return out;
        }
        if (rc != Z_BUF_ERROR) {
            *status = rc;
            return nullptr;
        }
    }
    int level = (mode == 1 && len < 512) ? 1 : 9;
    unsigned char *buf = nullptr;
    for (int k = 0; k <= 14; ++k) {
        uint64_t size = mode == 1 ? static_cast<uint64_t>(1.1 * len + 8192.0 * k)
                                  : 4ull * len + 8192ull * k;
        if (size == 0) size = 1;
        if (size > 0xFFFFFFFFull) {
            std::free(buf);
            return nullptr;
        }
        auto *nb = static_cast<unsigned char *>(std::realloc(buf, size));
        if (!nb) {
            std::free(buf);
            return nullptr;
        }
        buf = nb;
        uLongf dlen = static_cast<uLongf>(size);
        int rc = mode == 0 ? inflate_into(buf, &dlen, static_cast<const Bytef *>(src), len)
                           : deflate_into(buf, &dlen, static_cast<const Bytef *>(src), len, level);
        switch (rc) {
        case Z_OK:
            *out_len = static_cast<uint32_t>(dlen);
            *status = 0;
            return buf;
        case Z_BUF_ERROR:
            *status = Z_BUF_ERROR;
            continue;
        case Z_MEM_ERROR:
        case Z_DATA_ERROR:
        case Z_STREAM_ERROR:
            *status = rc;
            std::free(buf);
            return nullptr;
        default:
            return buf;
        }
    }
    std::free(buf);
    return nullptr;
}

SORVAN_API int32_t zlib_inflate_init(void *record) {
    auto *z = static_cast<z_stream *>(record);
    std::memset(z, 0, sizeof *z);
    z->zalloc = Z_NULL;
    z->zfree = Z_NULL;
    z->opaque = Z_NULL;
    return inflateInit_(z, kZlibVersion, static_cast<int>(sizeof(z_stream)));
}

SORVAN_API int64_t deflate_buf(const void *src, uint64_t len, int sock, int32_t encipher) {
    if (len == 0) return 0;
    if (len > kBlock) return BlockDeflater(static_cast<const unsigned char *>(src), len).run(sock, encipher);
    z_stream z;
    std::memset(&z, 0, sizeof z);
    int rc = deflateInit_(&z, 1, kZlibVersion, static_cast<int>(sizeof z));
    if (rc != Z_OK) return rc;
    if (len > 1024) deflateParams(&z, sorvan::stream_level(), Z_DEFAULT_STRATEGY);
    auto *in = static_cast<const unsigned char *>(src);
    uint64_t fed = 0;
    // zlib counts input in 32 bits: feed large blocks in slices.
    auto refill = [&] {
        if (z.avail_in == 0 && fed < len) {
            uint64_t n = len - fed;
            if (n > 0x40000000u) n = 0x40000000u;
            z.next_in = const_cast<Bytef *>(in + fed);
            z.avail_in = static_cast<uInt>(n);
            fed += n;
        }
    };
    unsigned char *out = nullptr;
    // A piece that does not go out whole ends the stream: the requester must
    // learn that the content never arrived.
    bool write_failed = false;
    auto flush_piece = [&](uInt n) {
        if (encipher) xencrypt(out, n);
        if (nwrite(sock, out, static_cast<int>(n)) != static_cast<int>(n)) write_failed = true;
    };
    auto renew = [&]() -> bool {
        if (out) {
            flush_piece(kPiece);
            std::free(out);
            out = nullptr;
            if (write_failed) return false;
        }
        out = static_cast<unsigned char *>(std::malloc(kPiece));
        if (!out) return false;
        z.next_out = out;
        z.avail_out = kPiece;
        return true;
    };
    auto end_failed = [&]() -> int64_t {
        deflateEnd(&z);
        if (!write_failed) return -10;
        NTperror("deflate_buf");
        return Z_ERRNO;
    };
    rc = Z_OK;
    refill();
    while ((z.avail_in > 0 || fed < len) && (rc == Z_OK || rc == Z_BUF_ERROR)) {
        if (z.avail_out == 0 && !renew()) return end_failed();
        rc = deflate(&z, Z_NO_FLUSH);
        if (rc == Z_ERRNO) NTperror("deflate_buf");
        refill();
    }
    if (rc == Z_OK || rc == Z_BUF_ERROR) {
        for (;;) {
            if (z.avail_out == 0 && !renew()) return end_failed();
            rc = deflate(&z, Z_FINISH);
            if (rc != Z_OK && rc != Z_BUF_ERROR) break;
        }
    }
    if (rc == Z_STREAM_END && out) flush_piece(kPiece - z.avail_out);
    std::free(out);
    int64_t total = static_cast<int64_t>(z.total_out);
    deflateEnd(&z);
    if (write_failed) {
        NTperror("deflate_buf");
        return Z_ERRNO;
    }
    return rc == Z_STREAM_END ? total : rc;
}

SORVAN_API int64_t inflate_buf(int sock, const char *path, uint64_t *written, int32_t decipher) {
    // Never through a final link, never waiting on a FIFO: only a regular
    // file is written.
    int fd = path ? ::open(path, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644) : -1;
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        ::close(fd);
        errno = EINVAL;
        fd = -1;
    }
    if (fd < 0) return -100;
    sorvan::mark_hidden(fd);
    int64_t rc = sorvan::inflate_to(sock, fd, UINT64_MAX, written, decipher, nullptr);
    ::close(fd);
    return rc;
}

}  // extern "C"
