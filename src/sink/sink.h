// Where a compressor's output goes: into a new file, or into a comparison
// against an existing file that stops at the first differing byte. The
// comparison is how the maker tries a candidate setting: a wrong setting
// costs only as much compression as it takes to differ, and a right one has
// proved the package byte for byte without writing a copy of it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

class ByteSink {
public:
    virtual ~ByteSink() = default;
    // Takes n bytes. False when the sink cannot take more: a write failed, or
    // the bytes differ from the compared file (see mismatch()).
    virtual bool put(const unsigned char* bytes, size_t n) = 0;
    // Called once after the last put. True when everything was written and
    // closed, or when the compared file matched whole and has no more bytes.
    virtual bool finish() = 0;
};

// Writes into a new file at path (created or truncated by the constructor).
class FileSink : public ByteSink {
public:
    explicit FileSink(const std::string& path);
    ~FileSink() override;
    bool isOpen() const { return file != nullptr; }
    bool put(const unsigned char* bytes, size_t n) override;
    bool finish() override;

    FileSink(const FileSink&) = delete;
    FileSink& operator=(const FileSink&) = delete;

private:
    FILE* file;
    bool failed = false;
};

// Compares the bytes it is given with the file at path, from its start.
class CompareSink : public ByteSink {
public:
    explicit CompareSink(const std::string& path);
    ~CompareSink() override;
    bool isOpen() const { return file != nullptr; }
    bool put(const unsigned char* bytes, size_t n) override;
    bool finish() override;
    // Count of leading bytes that agreed so far.
    uint64_t matched() const { return agreed; }
    bool mismatch() const { return differs; }

    CompareSink(const CompareSink&) = delete;
    CompareSink& operator=(const CompareSink&) = delete;

private:
    FILE* file;
    uint64_t agreed = 0;
    bool differs = false;
};
