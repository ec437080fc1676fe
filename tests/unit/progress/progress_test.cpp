// The progress line: its text, the measuring of reads from outside, and
// the erasing before other output.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "driver/options.h"
#include "progress/progress.h"
#include "test_support.h"

namespace {

using testsupport::readFile;
using testsupport::ScratchDir;
using testsupport::writeFile;

TEST(ProgressFormat, BytesAndDurations) {
    const std::pair<uint64_t, const char*> bytes[] = {
        {0, "0 B"},
        {1023, "1023 B"},
        {1024, "1.0 KiB"},
        {1536, "1.5 KiB"},
        {12900000, "12.3 MiB"},
        {104857600, "100 MiB"},
        {5ull << 30, "5.0 GiB"},
    };
    for (const auto& [value, text] : bytes) EXPECT_EQ(formatByteCount(value), text) << value;
    const std::pair<double, const char*> durations[] = {
        {0, "0:00"}, {-3, "0:00"}, {6.6, "0:07"}, {754, "12:34"}, {3723, "1:02:03"},
    };
    for (const auto& [value, text] : durations) EXPECT_EQ(formatDuration(value), text) << value;
}

TEST(ProgressFormat, Lines) {
    struct Case {
        uint64_t done, total;
        double seconds;
        size_t width;
        const char* line;
    };
    const uint64_t MiB = 1 << 20;
    const Case cases[] = {
        // Known total: bytes, percentage, rate and the time left.
        {25 * MiB, 100 * MiB, 5, 200, "gzip -9  25.0 MiB / 100 MiB  25%  5.0 MiB/s  0:15 left"},
        // Nothing measured yet: no rate, no time left.
        {0, 100 * MiB, 5, 200, "gzip -9  0 B / 100 MiB  0%"},
        {25 * MiB, 100 * MiB, 0, 200, "gzip -9  25.0 MiB / 100 MiB  25%"},
        // Done: no time left.
        {100 * MiB, 100 * MiB, 10, 200, "gzip -9  100 MiB / 100 MiB  100%  10.0 MiB/s"},
        // Past an estimated total: the percentage stops at 100.
        {150 * MiB, 100 * MiB, 10, 200, "gzip -9  150 MiB / 100 MiB  100%  15.0 MiB/s"},
        // Unknown total: bytes and rate only.
        {3 * MiB, 0, 2, 200, "gzip -9  3.0 MiB  1.5 MiB/s"},
        // Short of room: the time left goes, then the rate, then the end
        // of the name, then the end of the line.
        {25 * MiB, 100 * MiB, 5, 48, "gzip -9  25.0 MiB / 100 MiB  25%  5.0 MiB/s"},
        {25 * MiB, 100 * MiB, 5, 40, "gzip -9  25.0 MiB / 100 MiB  25%"},
        {25 * MiB, 100 * MiB, 5, 12, "gzip -9  25."},
    };
    for (const Case& c : cases)
        EXPECT_EQ(formatProgressLine("gzip -9", c.done, c.total, c.seconds, c.width), c.line);
    EXPECT_EQ(formatProgressLine("recompressing pkg-1.1.tar.gz", 25 * MiB, 100 * MiB, 5, 40),
              "recompressing p  25.0 MiB / 100 MiB  25%");
}

struct FileId {
    dev_t device;
    ino_t inode;
};

FileId idOf(const std::string& path) {
    struct stat st;
    EXPECT_EQ(stat(path.c_str(), &st), 0);
    return {st.st_dev, st.st_ino};
}

// Polls until the condition holds; false after ten seconds.
template <typename Condition>
bool eventually(Condition condition) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

TEST(ProgressMeasure, ReadPositionsAndMappedPagesOfThisProcessAndItsChildren) {
    ScratchDir dir;
    std::string path = dir / "input";
    writeFile(path, std::string(1 << 20, 'x'));
    FileId id = idOf(path);
    EXPECT_EQ(bytesReadOf(getpid(), id.device, id.inode), 0u);

    // A descriptor of this process.
    int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    char buffer[3000];
    ASSERT_EQ(read(fd, buffer, sizeof buffer), 3000);
    EXPECT_EQ(bytesReadOf(getpid(), id.device, id.inode), 3000u);

    // A mapping of which pages were touched: at least those pages, and
    // less than the whole file.
    void* map = mmap(nullptr, 1 << 20, PROT_READ, MAP_PRIVATE, fd, 0);
    ASSERT_NE(map, MAP_FAILED);
    volatile char sum = 0;
    for (size_t off = 0; off < (256u << 10); off += 4096) sum += static_cast<const char*>(map)[off];
    uint64_t mapped = bytesReadOf(getpid(), id.device, id.inode);
    EXPECT_GE(mapped, 256u << 10);
    EXPECT_LT(mapped, 1u << 20);
    munmap(map, 1 << 20);
    close(fd);

    // Descriptors of a child and a grandchild.
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(20);
        close(gate[1]);
        dup2(gate[0], 0);
        // The shell and the cat it waits on both hold the file, read to 7000.
        std::string line = "exec 4< " + path +
                           "; dd bs=7000 count=1 of=/dev/null <&4 2>/dev/null; cat > /dev/null";
        execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(gate[0]);
    EXPECT_TRUE(eventually([&] { return bytesReadOf(getpid(), id.device, id.inode) == 7000u; }));
    close(gate[1]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
}

// Runs with fd 2 sent to a file while the line is forced on, then gives
// back what was written there.
class ProgressLine : public ::testing::Test {
protected:
    void SetUp() override {
        fflush(stderr);
        savedStderr = dup(2);
        int fd = open(capture.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        dup2(fd, 2);
        close(fd);
        forceProgressLine(60, 0, 10);
    }
    void TearDown() override { restore(); }

    std::string restore() {
        if (savedStderr >= 0) {
            stopProgress();
            fflush(stderr);
            dup2(savedStderr, 2);
            close(savedStderr);
            savedStderr = -1;
        }
        return readFile(capture);
    }
    bool drawn() { return readFile(capture).find('%') != std::string::npos; }

    ScratchDir dir;
    std::string capture = dir / "stderr";
    int savedStderr = -1;
};

TEST_F(ProgressLine, IsDrawnInPlaceAndErasedBeforeAMessageAndAtTheEnd) {
    std::string input = dir / "input";
    writeFile(input, std::string(10000, 'x'));
    int fd = open(input.c_str(), O_RDONLY);
    char buffer[2500];
    ASSERT_EQ(read(fd, buffer, sizeof buffer), 2500);
    {
        ProgressStep step("digest", readingOf(input));
        ASSERT_TRUE(eventually([&] { return drawn(); }));
        reportError("a message %d\n", 7);
    }
    close(fd);
    std::string text = restore();

    std::string line = "\rdigest  2.4 KiB / 9.8 KiB  25%";
    ASSERT_EQ(text.compare(0, line.size(), line), 0) << text;
    size_t message = text.find("a message 7\n");
    ASSERT_NE(message, std::string::npos) << text;
    // The line was erased right before the message, and the last thing
    // written is an erase: nothing is left on the terminal line.
    EXPECT_EQ(text.substr(message - 4, 4), "\r\x1b[K");
    EXPECT_TRUE(text.size() == message + 12 ||
                text.compare(text.size() - 4, 4, "\r\x1b[K") == 0)
        << text;
}

TEST_F(ProgressLine, FollowsTextLeftOnTheTerminalLine) {
    std::string input = dir / "input";
    writeFile(input, std::string(4000, 'x'));
    {
        ProgressStep step("delta", readingOf(input));
        reportError("old -> new: ");
        ASSERT_TRUE(eventually([&] { return drawn(); }));
        reportError("FAILED\n");
    }
    std::string text = restore();
    // Drawn after the text, erased back to it, then the rest of the line.
    EXPECT_NE(text.find("\rold -> new: delta  0 B / 3.9 KiB  0%"), std::string::npos) << text;
    EXPECT_NE(text.find("\rold -> new: \x1b[KFAILED\n"), std::string::npos) << text;
}

TEST_F(ProgressLine, NothingWhenTheStepEndsFirstOrTheLineIsOff) {
    std::string input = dir / "input";
    writeFile(input, "x");
    forceProgressLine(60, 60000, 10);  // no step lives a minute
    { ProgressStep step("digest", readingOf(input)); }
    reportError("plain\n");
    stopProgress();
    { ProgressStep step("digest", readingOf(input)); }
    reportError("still plain\n");
    EXPECT_EQ(restore(), "plain\nstill plain\n");
}

}  // namespace
