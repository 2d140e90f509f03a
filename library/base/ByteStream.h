#pragma once
#include <atomic>
#include <cstdint>

// One piece of a gathered write.
struct ByteSegment {
    const char* data;
    int length;
};

// What the packet layer needs of a connection: whole-buffer writes and reads.
// The socket implements it; tests use in-memory streams.
class ByteStream {
public:
    virtual ~ByteStream() = default;
    // > 0 when all bytes went out, <= 0 on failure (as a rule -1).
    virtual int write(const char* data, int length) = 0;
    // count after exactly count bytes were read, -1 otherwise.
    virtual int readFully(char* buffer, int count) = 0;

    // Writes the segments in order as one run of bytes: > 0 when all went
    // out, <= 0 on failure. This one writes them one at a time.
    virtual int writeSegments(const ByteSegment* segments, int count) {
        int result = 0;
        for (int i = 0; i < count; ++i) {
            if (segments[i].length <= 0) continue;
            result = write(segments[i].data, segments[i].length);
            if (result <= 0) return result;
        }
        return result;
    }
    // Writes what the transport takes at once, without waiting: how many
    // bytes (0 to length), or -1. The rest must follow, before anything else,
    // with write(data + n, length - n) on the very same bytes. This one
    // writes everything.
    virtual int writeSome(const char* data, int length) {
        if (length <= 0) return 0;
        return write(data, length) > 0 ? length : -1;
    }
    // Reads at least minimum and at most capacity bytes: how many, or -1.
    // This one reads exactly minimum, nothing ahead.
    virtual int readSome(char* buffer, int minimum, int capacity) {
        (void)capacity;
        return readFully(buffer, minimum) == minimum ? minimum : -1;
    }

    // Tells this stream from every other one, including a later one that
    // happens to get the same address.
    uint64_t streamId() const { return m_streamId; }

private:
    static uint64_t nextStreamId() {
        static std::atomic<uint64_t> next{1};
        return next.fetch_add(1);
    }
    uint64_t m_streamId = nextStreamId();
};
