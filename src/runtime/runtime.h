// Runtime services: the private temporary workspace, the shell command
// runner with its command shapes, and the discovery of installed bzip2
// releases and of GNU gzip.
#pragma once

#include <string>

// ---- Workspace ----------------------------------------------------------

// Creates the workspace directory under $TMPDIR (or /tmp), registers its
// removal at process exit and installs the handler for SIGINT, SIGSEGV,
// SIGTERM and SIGQUIT. Ends the run with "cannot create temporary directory"
// when mkdtemp fails. Call once, before anything else.
void createWorkspace();

// The workspace directory (empty before createWorkspace).
const std::string& workspacePath();

// Returns a fresh, registered path inside the workspace ("<dir>/000000",
// "<dir>/000001", ...). Creates no file. Past the millionth name the run ends
// with "too many temporary files".
std::string newTempName();

// Creates an empty file with a fresh name in the directory of finalPath
// (".pakrev-<name>.XXXXXX") and registers it like a workspace name, so an
// interrupted run removes it. Output is finished there and then renamed over
// its final name. Returns "" when the directory cannot be written.
std::string newSiblingTempFile(const std::string& finalPath);

// Renames a finished file over its final name (same directory) and drops
// it from the registry. False when the rename failed (the file stays
// registered and goes at exit).
bool commitSiblingTempFile(const std::string& tempPath, const std::string& finalPath);

// Removes the file with "rm -f" (whether registered or not) and drops every
// registry entry equal to the path.
void removeTempFile(const std::string& path);

// Removes every registered file, then the workspace directory. Runs once:
// at exit or from the signal handler, whichever comes first.
void cleanupWorkspace();

// The handler for the trapped signals: cleanup, then the default action.
void handleSignal(int signo);

// ---- Shell command runner -----------------------------------------------

// Makes a text safe to splice into a shell line. Texts made only of letters,
// digits and _ . / + , : @ % = - come back unchanged; anything else becomes
// one single-quoted word ('\'' for an embedded quote).
std::string shellQuote(const std::string& text);

// shellQuote for a path that a program takes as an operand: a relative path
// that begins with "-" gets "./" in front, so it is never read as options.
std::string shellPath(const std::string& path);

// Runs "<quoted program> <arguments>" through system() and returns the raw
// wait status. Ends the run with "Caught signal" when the shell died of
// SIGINT or SIGQUIT, and with "A required executable, <program>, was not
// found" when the line exited with status 127. The arguments must already be
// quoted by the caller (shellQuote for each path).
int runCommand(const std::string& program, const std::string& arguments);

// rm -f PATH
void removeFile(const std::string& path);
// mv SOURCE DESTINATION
int moveFile(const std::string& source, const std::string& destination);
// cat SOURCE > DESTINATION 2> /dev/null
int catToFile(const std::string& source, const std::string& destination);
// PROGRAM -c SOURCE > DESTINATION 2> /dev/null
int filterToFile(const std::string& program, const std::string& source,
                 const std::string& destination);
// cat SOURCE | PROGRAM -LEVEL > DESTINATION
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
