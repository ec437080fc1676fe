// The argument parser: option groups, level digits, directory prefixes and
// file arguments, and the ways a command line is refused.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "driver/driver.h"

namespace {

using Args = std::vector<std::string>;

// Parses argv = "pakrev" + args into fresh process-wide records.
RunMode parse(const Args& args) {
    options = Options{};
    fileArgs.clear();
    std::vector<std::string> storage{"pakrev"};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : storage) argv.push_back(&s[0]);
    argv.push_back(nullptr);
    return parseArguments(static_cast<int>(storage.size()), argv.data());
}

// Anchors a literal text as a whole-output regular expression.
std::string exactly(const std::string& text) {
    std::string re = "^";
    for (char c : text) {
        if (std::string(".[]{}()*+?^$|\\").find(c) != std::string::npos) re += '\\';
        re += c;
    }
    return re + "$";
}

struct Expected {
    RunMode mode = MODE_NONE;
    std::string flags;  // letters of the boolean options that must be set: vfejir
    PatchCompression compression = PATCH_PLAIN;
    char level = '0';
    std::string newDir;
    Args oldDirs{""};
    Args files;
};

struct ParseCase {
    Args args;
    Expected want;
};

ParseCase makeRun(const Args& args) {
    Expected e;
    e.mode = MODE_MAKE;
    e.flags = "fv";
    e.files = {"a", "b", "c"};
    return {args, e};
}

TEST(ParseArguments, ThreadCount) {
    parse({"-pT", "3", "x"});
    EXPECT_EQ(3u, options.threads);
    EXPECT_EQ(3u, workThreads());
    EXPECT_EQ(std::vector<std::string>{"x"}, fileArgs);
    parse({"-T", "1", "-m"});
    EXPECT_EQ(1u, workThreads());
    parse({"-m"});
    EXPECT_EQ(0u, options.threads);
    EXPECT_GE(workThreads(), 1u);
    EXPECT_LE(workThreads(), 8u);
}

TEST(ParseArguments, AcceptedCommandLines) {
    const auto with = [](auto edit) {
        Expected e;
        edit(e);
        return e;
    };
    const ParseCase cases[] = {
        {{}, Expected{}},
        makeRun({"-mfv", "a", "b", "c"}),
        makeRun({"-m", "-f", "-v", "a", "b", "c"}),
        makeRun({"a", "b", "c", "-vfm"}),
        {{"-p"}, with([](Expected& e) { e.mode = MODE_APPLY; })},
        {{"-mm", "-m", "x"}, with([](Expected& e) {
             e.mode = MODE_MAKE;
             e.files = {"x"};
         })},
        {{"-pej", "-i", "-r"}, with([](Expected& e) {
             e.mode = MODE_APPLY;
             e.flags = "ejir";
         })},
        {{"-", "", "x"}, with([](Expected& e) {
             e.files = {"", "x"};
         })},
        {{"-b", "9"}, with([](Expected& e) {
             e.compression = PATCH_BZIP2;
             e.level = '9';
         })},
        // No argument left for the level: no error, the level stays '0'.
        {{"-m", "old", "new", "patch", "-b"}, with([](Expected& e) {
             e.mode = MODE_MAKE;
             e.compression = PATCH_BZIP2;
             e.files = {"old", "new", "patch"};
         })},
        {{"-b", "9", "-g"}, with([](Expected& e) {
             e.compression = PATCH_GZIP;
             e.level = '9';
         })},
        // Once a level is set, later digits are file names.
        {{"-b", "9", "-b", "5", "x"}, with([](Expected& e) {
             e.compression = PATCH_BZIP2;
             e.level = '9';
             e.files = {"5", "x"};
         })},
        // An awaited level wins over an awaited directory.
        {{"-bd", "9", "dir"}, with([](Expected& e) {
             e.compression = PATCH_BZIP2;
             e.level = '9';
             e.newDir = "dir/";
             e.oldDirs = {"dir/"};
         })},
        // An awaited -d directory wins over -D, whatever the letter order.
        {{"-dD", "new", "old"}, with([](Expected& e) {
             e.newDir = "new/";
             e.oldDirs = {"old/"};
         })},
        {{"-Dd", "new", "old"}, with([](Expected& e) {
             e.newDir = "new/";
             e.oldDirs = {"old/"};
         })},
        {{"-dd", "a", "b"}, with([](Expected& e) {
             e.newDir = "a/";
             e.oldDirs = {"a/"};
             e.files = {"b"};
         })},
        {{"-d", "a", "-d", "b"}, with([](Expected& e) {
             e.newDir = "b/";
             e.oldDirs = {"b/"};
         })},
        {{"-d", ""}, with([](Expected& e) {
             e.newDir = "/";
             e.oldDirs = {"/"};
         })},
        {{"-d", "dir/"}, with([](Expected& e) {
             e.newDir = "dir//";
             e.oldDirs = {"dir//"};
         })},
        {{"-D", "a b  c"}, with([](Expected& e) {
             e.oldDirs = {"a/", "b/", "c/"};
         })},
        {{"-D", " \ta\nb\v\fc\r "}, with([](Expected& e) {
             e.oldDirs = {"a/", "b/", "c/"};
         })},
        {{"-D", "a", "-D", "b", "c"}, with([](Expected& e) {
             e.oldDirs = {"a/", "b/"};
             e.files = {"c"};
         })},
        // An empty list keeps -D waiting for the next argument.
        {{"-D", "", "x", "y"}, with([](Expected& e) {
             e.oldDirs = {"x/"};
             e.files = {"y"};
         })},
        // White space only: -D is satisfied, adds nothing, and the default applies.
        {{"-d", "n", "-D", "   ", "x"}, with([](Expected& e) {
             e.newDir = "n/";
             e.oldDirs = {"n/"};
             e.files = {"x"};
         })},
        {{"-d", "n", "-D", "o", "x"}, with([](Expected& e) {
             e.newDir = "n/";
             e.oldDirs = {"o/"};
             e.files = {"x"};
         })},
    };

    for (const ParseCase& c : cases) {
        std::string label;
        for (const std::string& a : c.args) label += "[" + a + "]";
        SCOPED_TRACE("arguments " + label);
        const Expected& w = c.want;
        EXPECT_EQ(parse(c.args), w.mode);
        const auto flag = [&](char letter) { return w.flags.find(letter) != std::string::npos; };
        EXPECT_EQ(options.verbose, flag('v'));
        EXPECT_EQ(options.forceOverwrite, flag('f'));
        EXPECT_EQ(options.ensureMd5, flag('e'));
        EXPECT_EQ(options.useSegdiff, flag('j'));
        EXPECT_EQ(options.infoOnly, flag('i'));
        EXPECT_EQ(options.mergePatches, flag('r'));
        EXPECT_EQ(options.patchCompression, w.compression);
        EXPECT_EQ(options.compressionLevel, w.level);
        EXPECT_EQ(options.newPackageDir, w.newDir);
        EXPECT_EQ(options.oldPackageDirs, w.oldDirs);
        EXPECT_EQ(fileArgs, w.files);
    }
}

struct RefusedCase {
    Args args;
    std::string output;  // on standard output for an unknown letter, else on standard error
};

TEST(ParseArgumentsDeathTest, RefusedCommandLines) {
    const std::string conflict = "error: cannot specify more than one of -mpc options\n";
    const std::string level = "error: compression option must precede a digit from 1-9\n";
    const std::string noNewDir = "error: must supply directory after -d option\n";
    const std::string noOldDirs = "error: must supply directory after -D option\n";
    const std::string threads = "error: -T must precede a thread count from 1-64\n";
    const RefusedCase cases[] = {
        {{"-T"}, threads},
        {{"-T", "0"}, threads},
        {{"-T", "65"}, threads},
        {{"-T", "2x"}, threads},
        {{"-pT", ""}, threads},
        {{"-mp"}, conflict},
        {{"-m", "a", "-p"}, conflict},
        {{"-pm"}, conflict},
        // Letters act from left to right: the conflict comes before the x.
        {{"-mpx"}, conflict},
        {{"-xmp"}, "unknown option: x\n"},
        {{"-c"}, "unknown option: c\n"},
        {{"-M"}, "unknown option: M\n"},
        {{"--"}, "unknown option: -\n"},
        {{"-9"}, "unknown option: 9\n"},
        {{"-f", "a", "-ez"}, "unknown option: z\n"},
        {{"-b", "0"}, level},
        {{"-g", "10"}, level},
        {{"-b", "x"}, level},
        {{"-b", ""}, level},
        {{"-mb", "old", "new", "patch"}, level},
        {{"-bd", "dir", "9"}, level},
        {{"-d"}, noNewDir},
        {{"-dD"}, noNewDir},
        {{"-D", "a", "-d"}, noNewDir},
        {{"-D"}, noOldDirs},
        {{"-D", ""}, noOldDirs},
        {{"-p", "x", "-D"}, noOldDirs},
    };

    for (const RefusedCase& c : cases) {
        std::string label;
        for (const std::string& a : c.args) label += "[" + a + "]";
        SCOPED_TRACE("arguments " + label);
        // Standard output joins standard error so one pattern sees the whole output.
        EXPECT_EXIT(
            {
                dup2(STDERR_FILENO, STDOUT_FILENO);
                parse(c.args);
                _exit(0);
            },
            ::testing::ExitedWithCode(1), exactly(c.output));
    }
}

}  // namespace
