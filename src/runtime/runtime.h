// Runtime services: the private temporary workspace and its cleanup, the
// stop signals, the shell command runner with its command shapes and
// in-process file operations, and the discovery of installed bzip2 releases
// and of GNU gzip.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

// ---- Workspace ----------------------------------------------------------

// Creates the workspace directory under $TMPDIR (or /tmp), keeps a handle to
// it for the cleanup, registers its removal at process exit and installs the
// signal handlers (see "Signals" below). Ends the run with "cannot create
// temporary directory" when mkdtemp fails. Call once, from the main thread,
// before anything else and before any other thread starts.
void createWorkspace();

// The workspace directory (empty before createWorkspace).
const std::string& workspacePath();

// Returns a fresh path inside the workspace ("<dir>/000000", "<dir>/000001",
// ...). Creates no file. Whatever is made under it goes with the workspace
// at the end unless removed earlier. Past the millionth name the run ends
// with "too many temporary files".
std::string newTempName();

// Creates an empty file with a fresh name in the directory of finalPath
// (".pakrev-<name>.XXXXXX") and registers it, so an interrupted run removes
// it. Output is finished there and then renamed over its final name. Returns
// "" when the directory cannot be written. At most 64 such files are
// registered at a time; one more ends the run with "too many temporary files".
std::string newSiblingTempFile(const std::string& finalPath);

// Renames a finished file over its final name (same directory) and drops
// it from the registry. False when the rename failed (the file stays
// registered and goes at exit).
bool commitSiblingTempFile(const std::string& tempPath, const std::string& finalPath);

// Removes the file (whether registered or not; a missing file is no error)
// and drops it from the registry of sibling files.
void removeTempFile(const std::string& path);

// Removes the registered sibling files, then the workspace directory with
// everything in it (nested directories too; symbolic links are removed, never
// followed). Runs once: at exit or on a trapped signal, whichever comes
// first. Works in process: it starts no program, opens at most one
// directory at a time and needs no new file descriptor for the workspace
// itself, so it also works when the run has used up its descriptors.
void cleanupWorkspace();

// ---- Signals --------------------------------------------------------------
//
// SIGINT, SIGTERM, SIGHUP and SIGQUIT stop the run, whether they are sent to
// pakrev alone or to its process group. Every child runs in a process group
// of its own (see runShellLine), so an interrupt from the terminal reaches
// pakrev only, and pakrev stops the child:
// - while a child runs, the handler only sends SIGTERM to the child's group
//   and arms a SIGKILL for it after a short grace (SIGALRM); the waiting
//   code then makes sure the whole group is gone and reaped, and ends the
//   run through errorExit("Caught signal") (status 1, workspace removed at
//   exit);
// - while no child runs, the handler itself writes "error: Caught signal",
//   removes the workspace and the sibling files (cleanupWorkspace uses only
//   async-signal-safe calls) and ends the process with status 1.
// Signals are blocked around the start of a child and around the end of its
// wait, so the handler always sees either no child or one whose group still
// exists. A signal taken by a thread other than the main one is passed on
// to the main thread. Later signals of a run that is already stopping are
// ignored. SIGSEGV removes the workspace and then ends the process by its
// default action.

// The handler for SIGINT, SIGTERM, SIGHUP and SIGQUIT described above.
void handleSignal(int signo);

// ---- Work beside the main thread ----------------------------------------
//
// Independent steps of a pipeline may run at the same time, each in a thread
// of its own, while the main thread only waits for them (and shows their
// progress steps). Such work prints nothing while it runs: what it prints
// is held back and printed by the main thread when it takes the result, in
// the order the steps have when they run one after the other. Its own
// progress steps are not shown. errorExit inside it ends only that work; the
// main thread ends the run with the same message when it takes the result.
// Its children run like any other (runShellLine): a stop signal reaches
// them all; the main thread sees it while it waits, stops every piece of
// work (SIGTERM to its children's groups, SIGKILL after the grace, no new
// child starts), waits for them and ends the run with "Caught signal".
// Workspace names (newTempName) keep their order: the caller takes them
// before it starts the work, in the order the sequential steps take them,
// unless only one piece takes names while the others and the main thread
// take none until it is finished.
class ParallelWork {
public:
    ParallelWork();
    // Stops and waits for the work not yet finished; its output is dropped.
    ~ParallelWork();
    ParallelWork(const ParallelWork&) = delete;
    ParallelWork& operator=(const ParallelWork&) = delete;

    // Starts the work in a thread of its own; returns its number (0, 1, ...).
    // With showProgress its progress steps are shown (for one piece at
    // most, while the main thread shows none).
    size_t start(std::function<bool()> work, bool showProgress = false);
    // Waits for work `index`, prints what it held back and returns its
    // result; ends the run with its message when it ended by errorExit.
    bool finish(size_t index);
    // Asks every piece of work after `index` that is still running to stop,
    // waits for it and drops its output: for a step whose failure means the
    // later steps would never have run.
    void stopAfter(size_t index);

    struct Piece;

private:
    std::vector<Piece*> pieces;
};

// Stops and waits for all work running beside the main thread: the fatal
// path calls it before it ends the run with endMessage ("" for none). Work
// done in process that is still not over after a few seconds is not waited
// for: the run then ends at once with "error: <endMessage>", status 1 and
// the workspace removed. Main thread only.
void stopAllParallelWork(const std::string& endMessage);

// ---- Shell command runner -----------------------------------------------

// Makes a text safe to splice into a shell line. Texts made only of letters,
// digits and _ . / + , : @ % = - come back unchanged; anything else becomes
// one single-quoted word ('\'' for an embedded quote).
std::string shellQuote(const std::string& text);

// shellQuote for a path that a program takes as an operand: a relative path
// that begins with "-" gets "./" in front, so it is never read as options.
std::string shellPath(const std::string& path);

// Runs a shell command line as "/bin/sh -c LINE" (fork and exec) in a process
// group of its own, with pakrev's standard streams, and waits for it
// (waitpid, retried on EINTR). Returns the raw wait status, -1 when no child
// could be started. Children that the line leaves behind in its group are
// reaped. When pakrev caught a stop signal meanwhile, the group is stopped
// (SIGTERM, SIGKILL after a short grace), reaped, and the run ends with
// "Caught signal"; the line's status is never returned then.
int runShellLine(const std::string& line);

// Like runShellLine, with the line's standard output going into a pipe that
// is handed to consume piece by piece, until the output ends or consume
// returns false. The pipe is then closed (a program that writes on gets
// SIGPIPE) and the line waited for. Returns the raw wait status, -1 when no
// child could be started.
int readCommandOutput(const std::string& line,
                      const std::function<bool(const unsigned char*, size_t)>& consume);

// Runs "<quoted program> <arguments>" through runShellLine and returns the
// raw wait status. Ends the run with "Caught signal" when the line died of
// SIGINT or SIGQUIT (or pakrev caught a stop signal while it ran), and with
// "A required executable, <program>, was not found" when the line exited
// with status 127. The arguments must already be quoted by the caller
// (shellQuote for each path).
int runCommand(const std::string& program, const std::string& arguments);

// The file operations below work in process (no program is started) and
// return 0 when done, 1 when not (errno tells why).

// Removes the file (unlink); a missing file is no error and nothing is said.
void removeFile(const std::string& path);
// Renames SOURCE to DESTINATION (replacing it). Across file systems the
// bytes are copied to DESTINATION (keeping SOURCE's permissions when
// DESTINATION is new) and SOURCE is removed; a failed copy removes the
// partial DESTINATION and keeps SOURCE.
int moveFile(const std::string& source, const std::string& destination);
// Copies SOURCE's bytes to DESTINATION, which is created (0666 less the
// umask) or truncated first, also when SOURCE cannot be read.
int catToFile(const std::string& source, const std::string& destination);
// PROGRAM -c SOURCE > DESTINATION 2> /dev/null, through runCommand.
int filterToFile(const std::string& program, const std::string& source,
                 const std::string& destination);
// cat SOURCE | PROGRAM -LEVEL > DESTINATION, through runCommand.
int compressToFile(const std::string& program, char level, const std::string& source,
                   const std::string& destination);

// ---- Compressor discovery -----------------------------------------------

// Bzip2 release slots: 0 "0.9.0c", 1 "1.0.2" ... 5 "1.0.6", 6 "1.0.7",
// 7 "1.0.8". Slot 0 is never filled by discovery.
constexpr int BZIP2_SLOT_COUNT = 8;

// Release string of a slot ("1.0.6").
const char* bzip2SlotRelease(int slot);
// Program path of a slot, empty when no such bzip2 was found.
const std::string& bzip2SlotPath(int slot);

// Lists bzip2* programs directly on $PATH with their version lines and
// fills the slots; with -v prints the list.
void discoverBzip2();

// Finds a GNU gzip 1.x directly on $PATH; keeps an earlier find when
// nothing is found now. With -v prints what it found.
void discoverGzip();

// The GNU gzip path, empty when none is known.
const std::string& gnuGzipPath();

// Read a listing written by the discovery commands: each program's path on
// one line, then its version lines. Lines are read in pieces of at most 253
// characters. A version line with no line before it names no program and is
// skipped. False when the listing cannot be opened.
bool readBzip2Listing(const std::string& listingPath);
// Stops at the first GNU gzip 1.x; true also when none is listed.
bool readGzipListing(const std::string& listingPath);
