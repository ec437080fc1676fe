// Encoders that are programs (GNU gzip --rsyncable, pigz): their gzip output
// is read through a pipe, its header is skipped and the body goes to a sink.
#include <vector>

#include "gzip/gzip.h"
#include "runtime/runtime.h"

namespace {

const int FLAG_HCRC = 0x02, FLAG_EXTRA = 0x04, FLAG_NAME = 0x08, FLAG_COMMENT = 0x10;

// Length of the gzip header at the start of bytes, 0 while the bytes do not
// hold all of it yet, -1 when they are not a gzip header.
long headerLength(const std::vector<unsigned char>& b) {
    if (b.size() < 10) return 0;
    if (b[0] != 0x1f || b[1] != 0x8b) return -1;
    size_t at = 10;
    int flags = b[3];
    if (flags & FLAG_EXTRA) {
        if (b.size() < at + 2) return 0;
        at += 2 + (b[at] | (b[at + 1] << 8));
    }
    for (int bit : {FLAG_NAME, FLAG_COMMENT}) {
        if (!(flags & bit)) continue;
        while (at < b.size() && b[at] != 0) ++at;
        if (at >= b.size()) return 0;
        ++at;
    }
    if (flags & FLAG_HCRC) at += 2;
    return b.size() >= at ? static_cast<long>(at) : 0;
}

}  // namespace

std::string encoderCommand(const std::string& program, const std::string& arguments,
                           const std::string& tarPath) {
    return shellQuote(program) + " " + arguments + " < " + shellPath(tarPath) + " 2> /dev/null";
}

bool programBody(const std::string& command, const BodySink& sink) {
    std::vector<unsigned char> head;
    bool inHeader = true, accepted = true;
    // Returning false closes the pipe: the program ends with SIGPIPE on its
    // next write.
    int status = readCommandOutput(command, [&](const unsigned char* data, size_t got) {
        if (!inHeader) return accepted = sink(data, got);
        head.insert(head.end(), data, data + got);
        long length = headerLength(head);
        if (length < 0) return accepted = false;
        if (length > 0) {
            inHeader = false;
            size_t rest = head.size() - static_cast<size_t>(length);
            if (rest > 0) accepted = sink(head.data() + length, rest);
            head.clear();
        }
        return accepted;
    });
    return accepted && !inHeader && status == 0;
}

std::string rsyncableArguments(int level) {
    return "-c -n --rsyncable -" + std::to_string(level);
}

std::string pigzArguments(const PigzSettings& s) {
    std::string arguments = "-c -n -" + std::to_string(s.level) + " -b " +
                            std::to_string(s.blockKiB);
    if (s.independent) arguments += " -i";
    if (s.rsyncable) arguments += " -R";
    return arguments;
}
