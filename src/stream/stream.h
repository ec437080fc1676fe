// Streams and file sniffing: stream classes over stdio, zlib and libbz2,
// the little-endian byte encoding, whole-file operations, MD5 digests, and
// the classification of files and streams by their leading bytes.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <list>
#include <memory>
#include <string>

// ---- Stream classes -----------------------------------------------------
// Every file-backed stream owns exactly one library handle, opened by the
// constructor and closed by the destructor. A failed open leaves a null
// handle: test isOpen() (or the handle) before use. Streams do no buffering
// of their own and are neither copyable nor shared.

class IStream {
public:
    // Reads up to n bytes; returns the count read. Fewer than n means the end
    // of the data (a decompression error also reads as the end).
    virtual uint32_t read(void* buffer, uint32_t n) = 0;
    // True once a read met a read error or damaged data: a compressed stream
    // that ends early (its trailer missing) or fails its check. A stream
    // whose data simply ended is not failed.
    virtual bool failed() const { return false; }

protected:
    ~IStream() = default;
};

class OStream {
public:
    // Writes n bytes; returns the count written.
    virtual uint32_t write(const void* buffer, uint32_t n) = 0;

protected:
    ~OStream() = default;
};

class IFStream : public IStream {
public:
    explicit IFStream(const std::string& path);  // fopen "rb"
    virtual ~IFStream();
    uint32_t read(void* buffer, uint32_t n) override;
    bool failed() const override { return file && ferror(file); }
    bool isOpen() const { return file != nullptr; }
    FILE* file;

    IFStream(const IFStream&) = delete;
    IFStream& operator=(const IFStream&) = delete;
};

class OFStream : public OStream {
public:
    explicit OFStream(const std::string& path);  // fopen "wb"
    virtual ~OFStream();
    uint32_t write(const void* buffer, uint32_t n) override;
    bool isOpen() const { return file != nullptr; }
    // Flushes and closes now; false when a write or the close failed (then
    // error() holds the errno of the first failure).
    bool close();
    // The errno of the first write or close failure, 0 while there was none.
    int error() const { return firstError; }
    FILE* file;

    OFStream(const OFStream&) = delete;
    OFStream& operator=(const OFStream&) = delete;

private:
    int firstError = 0;
};

class GZ_IFStream : public IStream {
public:
    explicit GZ_IFStream(const std::string& path);  // gzopen "rb"
    virtual ~GZ_IFStream();
    uint32_t read(void* buffer, uint32_t n) override;
    // A gzip member cut short (no trailer), a failed CRC or length check,
    // damaged deflate data or a read error.
    bool failed() const override { return broken; }
    bool isOpen() const { return handle != nullptr; }
    void* handle;  // gzFile

    GZ_IFStream(const GZ_IFStream&) = delete;
    GZ_IFStream& operator=(const GZ_IFStream&) = delete;

private:
    bool broken = false;
};

class GZ_OFStream : public OStream {
public:
    explicit GZ_OFStream(const std::string& path);  // gzopen "wb"
    virtual ~GZ_OFStream();
    uint32_t write(const void* buffer, uint32_t n) override;
    bool isOpen() const { return handle != nullptr; }
    void* handle;  // gzFile

    GZ_OFStream(const GZ_OFStream&) = delete;
    GZ_OFStream& operator=(const GZ_OFStream&) = delete;
};

class BZ_IFStream : public IStream {
public:
    explicit BZ_IFStream(const std::string& path);  // BZ2_bzopen "rb"
    virtual ~BZ_IFStream();
    uint32_t read(void* buffer, uint32_t n) override;
    // A bzip2 stream cut short (no end-of-stream mark), damaged data or a
    // read error.
    bool failed() const override { return broken; }
    bool isOpen() const { return handle != nullptr; }
    void* handle;  // BZFILE*

    BZ_IFStream(const BZ_IFStream&) = delete;
    BZ_IFStream& operator=(const BZ_IFStream&) = delete;

private:
    bool broken = false;
};

// ---- Byte encoding (little-endian) --------------------------------------
// Reads past the end of a stream take zeros for the missing bytes.

uint16_t readU16(IStream& in);
uint32_t readU32(IStream& in);            // low half first
std::string readString(IStream& in);      // u16 length, then the bytes; cut at a zero byte
void writeU16(OStream& out, uint16_t value);
void writeU32(OStream& out, uint32_t value);
void writeString(OStream& out, const std::string& s);  // s.size() < 65536

constexpr uint32_t COPY_BLOCK = 1024;

// Copies exactly n bytes in blocks of at most 1024; true only when all n were
// read and written. n = 0 is one empty read and write and returns true; a
// count beyond the input copies everything the input has and returns false.
bool copyBytes(IStream& in, OStream& out, uint32_t n);

// ---- Whole-file operations ----------------------------------------------

using Md5Digest = std::array<unsigned char, 16>;

bool fileExists(const std::string& path);          // can be opened "rb"
uint32_t fileSize(const std::string& path);        // 0 when it cannot be opened
// Size as a 64-bit count (for the checks against the 32-bit format limits);
// -1 when the file cannot be opened.
int64_t fileSize64(const std::string& path);
int bzip2LevelDigit(const std::string& path);      // 4th byte - '0'; -1 if short
// Why a directory cannot take more data: writes a probe file of 64 KiB
// there (and removes it) and returns strerror of the failure, or "" when
// the probe could be written whole. Used to tell a full or unwritable disk
// from damaged input after a step failed.
std::string writeFailureReason(const std::string& directory);
Md5Digest md5OfFile(const std::string& path);      // all zero when unreadable
bool md5Matches(const Md5Digest& stored, const std::string& path);

// ---- Sniffing -----------------------------------------------------------

enum FileKind {
    FILE_NONE = 0,
    FILE_BZIP2 = 1,
    FILE_GZIP = 2,
    FILE_ZIP = 3,
    FILE_TAR = 5,
    FILE_PATCH = 6,
    FILE_XDELTA = 8,
    FILE_SEGDIFF = 9,
};

constexpr uint32_t TAR_BLOCK = 512;
constexpr uint32_t TAR_MAGIC_OFFSET = 257;

// Classifies at most the first four bytes (cut at the first zero byte).
FileKind sniffBytes(const unsigned char* bytes, uint32_t count);
// Classifies a file by its first four bytes; FILE_NONE when unreadable.
// Never FILE_TAR.
FileKind sniffFile(const std::string& path);

// An input stream that can be given bytes back: injected bytes are delivered
// before everything else, last injected first, then the source's data.
class Injectable_IStream : public IStream {
public:
    explicit Injectable_IStream(IStream& source);  // source not owned
    uint32_t read(void* buffer, uint32_t n) override;
    bool failed() const override { return source->failed(); }
    virtual void inject(const void* bytes, uint32_t n);

private:
    struct PushbackBuffer {
        std::unique_ptr<unsigned char[]> storage;
        uint32_t cursor = 0;
        uint32_t remaining = 0;
    };
    IStream* source;
    std::list<PushbackBuffer> pending;
};

// Classifies the stream's leading bytes (including the tar magic at offset
// 257) and gives them back, so the stream still starts at its first byte.
FileKind sniffStream(Injectable_IStream& stream);
