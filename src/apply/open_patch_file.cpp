// Opening patch files: plain, gzip- or bzip2-compressed, or tar archives of
// patch files, nested up to PATCH_NESTING_LIMIT layers. A layer is
// recognised by its first bytes before anything of it is spooled, and only
// one decompressing stream is open at a time.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "apply/apply.h"
#include "driver/options.h"
#include "runtime/runtime.h"

namespace {

[[noreturn]] void cannotRead(const ApplyRun& run, const char* why = nullptr) {
    if (why)
        reportError("cannot read file %s: %s\n", run.patchFileName.c_str(), why);
    else
        reportError("cannot read file %s\n", run.patchFileName.c_str());
    exit(1);
}

[[noreturn]] void tooDeep(const ApplyRun& run) {
    reportError("cannot read file %s: more than %d layers of compression and archives\n",
                run.patchFileName.c_str(), PATCH_NESTING_LIMIT);
    exit(1);
}

[[noreturn]] void workspaceFull(int error) {
    errorExit("cannot write into the workspace " + workspacePath() + ": " +
              strerror(error ? error : EIO));
}

bool isLayer(FileKind kind) {
    return kind == FILE_GZIP || kind == FILE_BZIP2 || kind == FILE_TAR || kind == FILE_PATCH;
}

// The next `left` bytes of another stream.
class BoundedIStream : public IStream {
public:
    BoundedIStream(IStream& source, uint64_t size) : source(source), left(size) {}
    uint32_t read(void* buffer, uint32_t n) override {
        if (n > left) n = static_cast<uint32_t>(left);
        uint32_t got = n ? source.read(buffer, n) : 0;
        left -= got;
        return got;
    }
    bool failed() const override { return source.failed(); }

private:
    IStream& source;
    uint64_t left;
};

// Copies the whole stream into a new workspace file and returns its name.
// Ends the run when the workspace cannot take it or the stream is damaged.
std::string spool(const ApplyRun& run, IStream& in) {
    std::string path = newTempName();
    OFStream out(path);
    if (!out.isOpen()) workspaceFull(errno);
    // copyBytes stops at the end of the input; a stream of 4 GiB or more
    // simply takes more than one round.
    while (copyBytes(in, out, 0xFFFFFFFFu)) {
    }
    bool closed = out.close();
    if (out.error() || !closed) workspaceFull(out.error());
    if (in.failed()) cannotRead(run, "truncated or damaged compressed data");
    return path;
}

void applyLayer(ApplyRun& run, std::string path, bool ownsPath, int depth);

// Octal size field of a tar header; blanks and NULs are skipped.
uint64_t tarMemberSize(const unsigned char* header) {
    uint64_t size = 0;
    for (int i = 124; i < 136; ++i) {
        if (header[i] >= '0' && header[i] <= '7') size = size * 8 + (header[i] - '0');
    }
    return size;
}

void walkTarArchive(ApplyRun& run, const std::string& path, int depth) {
    IFStream archive(path);
    int zeroHeaders = 0;
    unsigned char header[TAR_BLOCK];
    while (zeroHeaders < 2) {
        // An archive that ends without its two zero blocks ends the walk.
        if (archive.read(header, TAR_BLOCK) < TAR_BLOCK) break;
        if (header[0] == 0) ++zeroHeaders;
        uint64_t size = tarMemberSize(header);
        if (size == 0) continue;
        if (size > 0xFFFFFFFFull) cannotRead(run);
        std::string member;
        {
            BoundedIStream bounded(archive, size);
            Injectable_IStream in(bounded);
            FileKind inner = sniffStream(in);
            if (!isLayer(inner)) cannotRead(run);
            if (inner != FILE_PATCH && depth + 1 >= PATCH_NESTING_LIMIT) tooDeep(run);
            member = spool(run, in);
        }
        applyLayer(run, member, true, depth + 1);
        uint32_t tail = static_cast<uint32_t>(size % TAR_BLOCK);
        if (tail != 0) archive.read(header, TAR_BLOCK - tail);
    }
}

// A compressed layer at `depth`: a patch inside is applied as it is
// decompressed; another layer is spooled and its name returned ("" when
// nothing is left to do).
std::string unwrapCompressed(ApplyRun& run, IStream& stream, int depth) {
    Injectable_IStream in(stream);
    FileKind inner = sniffStream(in);
    if (inner == FILE_PATCH) {
        applyPatchStream(run, in);
        return "";
    }
    // Refused from its first bytes, before anything is spooled.
    if (!isLayer(inner))
        cannotRead(run, in.failed() ? "truncated or damaged compressed data" : nullptr);
    if (depth + 1 >= PATCH_NESTING_LIMIT) tooDeep(run);
    return spool(run, in);
}

// Applies the file at `path`, which is `depth` layers inside the user's
// patch file; a file the run made itself (ownsPath) is removed when done.
// A layer at depth d that holds another layer would make d + 2 layers:
// refused when that passes the limit, before the inner layer is spooled.
void applyLayer(ApplyRun& run, std::string path, bool ownsPath, int depth) {
    for (;;) {
        FileKind kind;
        {
            IFStream file(path);
            Injectable_IStream in(file);
            kind = sniffStream(in);
        }
        std::string next;
        if (kind == FILE_PATCH) {
            IFStream stream(path);
            applyPatchStream(run, stream);
        } else if (kind == FILE_TAR) {
            walkTarArchive(run, path, depth);
        } else if (kind == FILE_GZIP) {
            GZ_IFStream stream(path);
            next = unwrapCompressed(run, stream, depth);
        } else if (kind == FILE_BZIP2) {
            BZ_IFStream stream(path);
            next = unwrapCompressed(run, stream, depth);
        } else {  // nothing known, or a zip archive or a bare delta
            cannotRead(run);
        }
        if (ownsPath) removeTempFile(path);
        if (next.empty()) return;
        path = next;
        ownsPath = true;
        ++depth;
    }
}

}  // namespace

void applyPatchFile(ApplyRun& run, const std::string& path) {
    run.patchFileName = path;
    if (!fileExists(path)) {
        reportError("file is missing: %s\n", path.c_str());
        exit(1);
    }
    applyLayer(run, path, false, 0);
}
