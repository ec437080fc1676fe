// The shell command runner: command lines of external programs, built from
// quoted words, run through runShellLine with their status screened for
// interrupts and missing programs.
#include <signal.h>
#include <sys/wait.h>

#include <string>

#include "driver/options.h"
#include "runtime/runtime.h"

std::string shellQuote(const std::string& text) {
    bool plain = !text.empty();
    for (unsigned char c : text) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '_' || c == '.' || c == '/' || c == '+' || c == ',' || c == ':' ||
                  c == '@' || c == '%' || c == '=' || c == '-';
        if (!ok) {
            plain = false;
            break;
        }
    }
    if (plain) return text;
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    quoted += "'";
    return quoted;
}

std::string shellPath(const std::string& path) {
    return shellQuote(!path.empty() && path[0] == '-' ? "./" + path : path);
}

int runCommand(const std::string& program, const std::string& arguments) {
    int status = runShellLine(shellQuote(program) + " " + arguments);
    if (status != -1 && WIFSIGNALED(status) &&
        (WTERMSIG(status) == SIGINT || WTERMSIG(status) == SIGQUIT))
        errorExit("Caught signal");
    if (status == 0x7f00) errorExit("A required executable, " + program + ", was not found");
    return status;
}

int filterToFile(const std::string& program, const std::string& source,
                 const std::string& destination) {
    return runCommand(program,
                      "-c " + shellPath(source) + " > " + shellQuote(destination) + " 2> /dev/null");
}

int compressToFile(const std::string& program, char level, const std::string& source,
                   const std::string& destination) {
    return runCommand("cat", shellPath(source) + " | " + shellQuote(program) + " " +
                                 shellQuote(std::string("-") + level) + " > " +
                                 shellQuote(destination));
}
