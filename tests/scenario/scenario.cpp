#include "scenario.h"

#include <openssl/evp.h>

#include <cstdio>
#include <stdexcept>

#include "runtime/runtime.h"

using namespace testsupport;

namespace scenario {

RunResult ScenarioTest::pakrev(const std::string& args, const std::string& cwd, const std::string& env) {
    RunResult r = runPakrev(args, cwd, "TMPDIR=" + tmp.path() + " " + env);
    EXPECT_TRUE(listDir(tmp.path()).empty()) << "workspace left behind";
    return r;
}

void expectNoPartialFiles(const std::string& dir) {
    for (const std::string& name : listDir(dir))
        EXPECT_EQ(name.find(".pakrev-"), std::string::npos) << name;
}

std::string makeReleaseTar(const std::string& dir, const std::string& name, int release,
                           size_t approxBytes) {
    std::string tree = dir + "/" + name;
    runShell("rm -rf " + shellQuote(tree) + " && mkdir -p " + shellQuote(tree + "/src"));
    const int files = 8;
    for (int i = 0; i < files; ++i) {
        std::string text = sourceLikeText(approxBytes / files, 100 + i);
        // Every release rewrites a stretch of a few files and moves one block.
        for (int r = 1; r <= release; ++r) {
            if ((i + r) % 3 == 0) {
                size_t at = (r * 997 + i * 131) % (text.size() / 2);
                std::string change = sourceLikeText(300, 1000 * r + i);
                text.replace(at, 200, change);
            }
            if ((i + r) % 5 == 0) text = text.substr(text.size() / 3) + text.substr(0, text.size() / 3);
        }
        writeFile(tree + "/src/file" + std::to_string(i) + ".c", text);
    }
    writeFile(tree + "/NEWS", "release " + std::to_string(release) + "\n");
    std::string tarPath = dir + "/" + name + ".tar";
    RunResult r = runShell("tar --sort=name --owner=0 --group=0 --numeric-owner --mtime=@" +
                               std::to_string(1000000 + release * 86400) + " -C " + shellQuote(dir) +
                               " -cf " + shellQuote(tarPath) + " " + shellQuote(name) +
                               " && rm -rf " + shellQuote(tree));
    if (r.status != 0) throw std::runtime_error("tar failed: " + r.err);
    return tarPath;
}

std::string packageFrom(const std::string& tarPath, const std::string& kind) {
    std::string q = shellQuote(tarPath);
    std::string base = tarPath.substr(tarPath.rfind('/') + 1);
    if (kind == "tar") return base;
    std::string level = kind.substr(3);
    RunResult r;
    if (kind.rfind("gz", 0) == 0) {
        r = runShell("gzip -n -" + kind.substr(2) + " -c " + q + " > " + q + ".gz");
        base += ".gz";
    } else {
        r = runShell("bzip2 -" + level + " -c " + q + " > " + q + ".bz2");
        base += ".bz2";
    }
    if (r.status != 0) throw std::runtime_error("compress failed: " + r.err);
    return base;
}

std::string makePackage(const std::string& dir, int release, const std::string& kind,
                        size_t approxBytes) {
    std::string name = "pkg-1." + std::to_string(release);
    std::string tar = makeReleaseTar(dir, name, release, approxBytes);
    std::string package = packageFrom(tar, kind);
    if (kind != "tar") runShell("rm -f " + shellQuote(tar));
    return package;
}

namespace {

struct Reader {
    const std::string& bytes;
    size_t at = 0;
    bool ok = true;
    std::string take(size_t n) {
        if (at + n > bytes.size()) {
            ok = false;
            at = bytes.size();
            return "";
        }
        std::string s = bytes.substr(at, n);
        at += n;
        return s;
    }
    uint32_t le(size_t n) {
        std::string s = take(n);
        uint32_t v = 0;
        for (size_t i = 0; i < s.size(); ++i) v |= static_cast<uint32_t>(static_cast<unsigned char>(s[i])) << (8 * i);
        return v;
    }
};

}  // namespace

ParsedPatch parsePatch(const std::string& bytes) {
    ParsedPatch p;
    Reader r{bytes};
    if (r.take(3) != "PRV") return p;
    p.version = static_cast<uint16_t>(r.le(2));
    uint32_t count = p.version == 2 ? r.le(2) : 1;
    for (uint32_t i = 0; i < count && r.ok; ++i) {
        ParsedEntry e;
        e.oldName = r.take(r.le(2));
        if (p.version == 4) e.oldMd5 = r.take(16);
        e.newName = r.take(r.le(2));
        if (p.version == 4) e.newMd5 = r.take(16);
        e.oldKind = static_cast<uint16_t>(r.le(2));
        e.newKind = static_cast<uint16_t>(r.le(2));
        e.newParams = r.le(4);
        e.flags = r.le(4);
        e.delta = r.take(r.le(4));
        if (e.flags & 1) e.fixup = r.take(r.le(4));
        if (e.flags & 4) e.params = r.take(r.le(4));
        p.entries.push_back(e);
    }
    p.ok = r.ok && r.at == bytes.size();
    return p;
}

std::string u16(uint16_t v) { return std::string{static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)}; }
std::string u32(uint32_t v) { return u16(static_cast<uint16_t>(v & 0xFFFF)) + u16(static_cast<uint16_t>(v >> 16)); }

std::string buildPatch(uint16_t version, const std::vector<ParsedEntry>& entries) {
    std::string s = "PRV" + u16(version);
    if (version == 2) s += u16(static_cast<uint16_t>(entries.size()));
    for (const ParsedEntry& e : entries) {
        s += u16(static_cast<uint16_t>(e.oldName.size())) + e.oldName;
        if (version == 4) s += e.oldMd5;
        s += u16(static_cast<uint16_t>(e.newName.size())) + e.newName;
        if (version == 4) s += e.newMd5;
        s += u16(e.oldKind) + u16(e.newKind) + u32(e.newParams) + u32(e.flags);
        s += u32(static_cast<uint32_t>(e.delta.size())) + e.delta;
        if (e.flags & 1) s += u32(static_cast<uint32_t>(e.fixup.size())) + e.fixup;
        if (e.flags & 4) s += u32(static_cast<uint32_t>(e.params.size())) + e.params;
    }
    return s;
}

std::string md5Hex(const std::string& raw) {
    static const char* hex = "0123456789abcdef";
    std::string s;
    for (unsigned char c : raw) {
        s += hex[c >> 4];
        s += hex[c & 15];
    }
    return s;
}

std::string md5Raw(const std::string& path) {
    std::string data = readFile(path);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest, &length, EVP_md5(), nullptr);
    return std::string(reinterpret_cast<char*>(digest), length);
}

}  // namespace scenario
