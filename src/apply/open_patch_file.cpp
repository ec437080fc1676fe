// Opening patch files: plain, gzip- or bzip2-compressed, or tar archives of
// patch files, in any nesting. Only archives and contents that are not a
// patch after decompression are spooled into the workspace.
#include <cstdio>
#include <cstdlib>

#include "apply/apply.h"
#include "driver/options.h"
#include "runtime/runtime.h"

namespace {

[[noreturn]] void cannotRead(const std::string& path) {
    reportError("cannot read file %s\n", path.c_str());
    exit(1);
}

// Hands a stream that holds a patch to the applier; anything else is
// spooled and opened again as a file.
void dispatchStream(ApplyRun& run, IStream& stream) {
    Injectable_IStream in(stream);
    if (sniffStream(in) == FILE_PATCH)
        applyPatchStream(run, in);
    else
        applyViaTempFile(run, in);
}

// Octal size field of a tar header; blanks and NULs are skipped.
uint64_t tarMemberSize(const unsigned char* header) {
    uint64_t size = 0;
    for (int i = 124; i < 136; ++i) {
        if (header[i] >= '0' && header[i] <= '7') size = size * 8 + (header[i] - '0');
    }
    return size;
}

void walkTarArchive(ApplyRun& run, const std::string& path) {
    IFStream archive(path);
    int zeroHeaders = 0;
    unsigned char header[TAR_BLOCK];
    while (zeroHeaders < 2) {
        // An archive that ends without its two zero blocks ends the walk.
        if (archive.read(header, TAR_BLOCK) < TAR_BLOCK) break;
        if (header[0] == 0) ++zeroHeaders;
        uint64_t size = tarMemberSize(header);
        if (size == 0) continue;
        if (size > 0xFFFFFFFFull) cannotRead(path);
        std::string member = newTempName();
        {
            OFStream out(member);
            copyBytes(archive, out, static_cast<uint32_t>(size));
        }
        applyPatchFile(run, member);
        removeTempFile(member);
        uint32_t tail = static_cast<uint32_t>(size % TAR_BLOCK);
        if (tail != 0) archive.read(header, TAR_BLOCK - tail);
    }
}

}  // namespace

void applyViaTempFile(ApplyRun& run, IStream& in) {
    std::string spool = newTempName();
    {
        OFStream out(spool);
        // copyBytes stops at the end of the input; a stream of 4 GiB or more
        // simply takes more than one round.
        while (copyBytes(in, out, 0xFFFFFFFFu)) {
        }
    }
    applyPatchFile(run, spool);
    removeTempFile(spool);
}

void applyPatchFile(ApplyRun& run, const std::string& path) {
    FileKind kind;
    {
        IFStream file(path);
        if (!file.isOpen()) {
            reportError("file is missing: %s\n", path.c_str());
            exit(1);
        }
        Injectable_IStream in(file);
        kind = sniffStream(in);
    }
    switch (kind) {
        case FILE_BZIP2: {
            BZ_IFStream stream(path);
            dispatchStream(run, stream);
            break;
        }
        case FILE_GZIP: {
            GZ_IFStream stream(path);
            dispatchStream(run, stream);
            break;
        }
        case FILE_PATCH: {
            IFStream stream(path);
            dispatchStream(run, stream);
            break;
        }
        case FILE_TAR:
            walkTarArchive(run, path);
            break;
        default:  // nothing known, or a zip archive or a bare delta
            cannotRead(path);
    }
}
