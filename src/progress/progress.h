// The live progress line: while a long step runs (unpacking, a delta, a
// compression attempt or probe, the fixup, the rebuild's recompression, a
// digest), one line on standard error says what runs, how many bytes of how
// many are done, the rate and the time left, rewritten in place ("\r", the
// text, then "ESC [ K" to clear the rest of the line) at most five times a
// second by a background thread.
//
// The line exists only when standard error is a terminal and -q is not
// given. It is erased before any other text reaches the terminal: every
// printer of the program goes through verbose(), reportError(), errorExit()
// (driver/options.h) or printOut() below, and these erase it first. Nothing
// is written on standard output, and nothing at all when the line is off,
// so captured output is exactly what it is without this subsystem.
//
// Progress is measured from outside the work, so the steps and the child
// programs they run are told nothing: either the read position of the
// step's input file, taken from /proc for this process and every process
// below it, or the size of the file the step writes.
#pragma once

#include <sys/types.h>

#include <cstdarg>
#include <cstdio>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// ---- Formatting ---------------------------------------------------------

// "0 B" .. "1023 B", then KiB, MiB, GiB with one decimal below 100 ("1.5
// KiB", "12.3 MiB", "345 MiB").
std::string formatByteCount(uint64_t bytes);

// Whole seconds as "M:SS", or "H:MM:SS" from an hour on ("0:07", "12:34",
// "1:02:03").
std::string formatDuration(double seconds);

// The text of the line (no "\r", no escape), at most `width` characters:
//   "<step>  <done> / <total>  <percent>%  <rate>/s  <eta> left"
// Short of room it drops the time left, then the rate, then cuts the step's
// name (down to 8 characters), then the end of the line.
// The percentage is done*100/total, at most 100. The rate is done/seconds
// and appears once seconds > 0 and done > 0; the time left appears with the
// rate while done < total. total 0 means unknown: "<step>  <done>" and the
// rate, no percentage and no time left.
std::string formatProgressLine(const std::string& step, uint64_t done, uint64_t total,
                               double seconds, size_t width);

// ---- Measuring ------------------------------------------------------------

// Where a step's bytes done come from.
struct ProgressSource {
    enum Kind { READING, FILE_SIZE };
    Kind kind = FILE_SIZE;
    std::vector<std::string> paths;
    // READING: read only this far into the one file (0: the whole file).
    // FILE_SIZE: the size the file is expected to reach (0: unknown).
    uint64_t limit = 0;
};

// The step reads the files (up to `limit` bytes of a single file when not
// 0): done is, summed over the files, how far into each file this process
// or any process below it got (bytesReadOf); total is the sum of their
// sizes (or limit).
ProgressSource readingOf(const std::string& path, uint64_t limit = 0);
ProgressSource readingOf(const std::vector<std::string>& paths);
// The step writes `path`: done is its size, total the estimate (0 unknown).
ProgressSource writingOf(const std::string& path, uint64_t estimatedTotal = 0);

// How far into the file (device, inode) process `root` and the processes
// below it got: the largest of the read positions of the descriptors open
// on it and of the bytes of it mapped into memory and touched (programs
// that map their inputs). 0 when no process has it open; 0 where /proc is
// not there.
uint64_t bytesReadOf(pid_t root, dev_t device, ino_t inode);

// ---- The line -------------------------------------------------------------

// Decides once, after the options are read: the line is shown when `wanted`
// (no -q) and standard error is a terminal. Registers the exit-time stop.
void setupProgressLine(bool wanted);

// Test hook: turns the line on whatever fd 2 is, with a fixed width,
// stdout counted as another device, and the given first-draw delay and
// update interval in milliseconds. Call with no step running.
void forceProgressLine(size_t width, int firstDrawMs, int intervalMs);

// True while the line may be shown.
bool progressLineOn();

// Erases the line when one is shown (no-op otherwise). The thread does not
// draw again for one update interval.
void clearProgress();

// Stops the thread, erases the line and turns progress off for the rest of
// the run. For the fatal path, before its message; also run at exit.
void stopProgress();

// For the signal handler: async-signal-safe. Marks progress dead (nothing
// is drawn again) and erases the line with one write().
void stopProgressFromSignal();

// printf on standard output with the line erased first. The program's lines
// on standard output go through this or verbose().
void printOut(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The same to the given stream (stdout or stderr).
void vprintTo(FILE* stream, const char* format, va_list args);

// Output held back by work that runs beside the main thread: the pieces in
// the order they were printed, each with its stream (stdout or stderr).
struct HeldOutput {
    std::vector<std::pair<FILE*, std::string>> pieces;
};
// From now on, on the calling thread: every printer of the program appends
// its text to `into` instead of writing it (nullptr: they write again), and
// progress steps made here are not shown unless `showSteps` (for at most
// one thread at a time, while no other thread makes steps).
void holdOutput(HeldOutput* into, bool showSteps = false);
// True when the calling thread holds its output back.
bool outputHeld();
// Prints the pieces as the printers would have.
void printHeldOutput(const HeldOutput& held);

// One long step. While the innermost live step is at least the first-draw
// delay old, its line is shown; the steps outside it wait. Its bytes done
// never go down (a child that has finished and closed its input leaves
// the last count). Steps are made and ended by one thread. Destroying the
// outermost step joins the thread and erases the line, so nothing is
// written once it is gone. Costs nothing when the line is off.
class ProgressStep {
public:
    ProgressStep(const std::string& name, const ProgressSource& source);
    ~ProgressStep();
    ProgressStep(const ProgressStep&) = delete;
    ProgressStep& operator=(const ProgressStep&) = delete;

private:
    uint64_t serial = 0;  // 0: not registered (the line is off)
};
