#pragma once

// What the packet layer needs of a connection: whole-buffer writes and reads.
// The socket implements it; tests use in-memory streams.
class ByteStream {
public:
    virtual ~ByteStream() = default;
    // > 0 when all bytes went out, <= 0 on failure (as a rule -1).
    virtual int write(const char* data, int length) = 0;
    // count after exactly count bytes were read, -1 otherwise.
    virtual int readFully(char* buffer, int count) = 0;
};
