/* SPDX-FileCopyrightText: 2026 memloupe developers
 SPDX-License-Identifier: GPL-2.0-or-later */

// memloupe: runs a program with the preload library and writes what it
// records into a trace file that memloupe_gui and memloupe_report open.

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "analyze/traceformat.h"
#include "common/protocol.h"
#include "launcher/attach.h"
#include "launcher/programcheck.h"
#include "launcher/session.h"

extern char **environ;

namespace
{
const char *const PreloadLibraryName = "libmemloupe_preload.so";
const char *const PreloadOverrideEnv = "MEMLOUPE_PRELOAD_LIBRARY";

int signalPipe[2] = {-1, -1};

void onSignal(int number)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    (void)!write(signalPipe[1], &byte, 1);
    errno = saved;
}

void printUsage(FILE *out)
{
    fprintf(out,
            "Usage: memloupe [OPTIONS] PROGRAM [ARGS...]\n"
            "       memloupe [OPTIONS] --pid PID\n"
            "Runs PROGRAM and records every heap allocation it makes into a trace file,\n"
            "or records a running process from now on.\n"
            "\n"
            "Options:\n"
            "  -o, --output FILE    write the trace to FILE; its suffix decides the\n"
            "                       compression: .zst zstd, .gz gzip, anything else\n"
            "                       plain text (default: memloupe.PROGRAM.PID.zst in the\n"
            "                       working directory)\n"
            "  --record-children    also record the processes PROGRAM starts, each into\n"
            "                       its own memloupe.NAME.PID file next to the output\n"
            "  --pid PID            attach to the running process PID (through gdb) and\n"
            "                       record it until Ctrl-C, until it exits, or for\n"
            "                       --duration; the process runs on afterwards\n"
            "  --duration SECONDS   with --pid: stop recording after SECONDS\n"
            "  -h, --help           show this help\n"
            "  --version            show the version\n"
            "\n"
            "Options end at the first argument that is not one, or at \"--\".\n"
            "PROGRAM is looked up in PATH like a shell does (exit 127 if not found, 126\n"
            "if not executable). A script starting with #! is fine: its interpreter is\n"
            "what gets recorded. Statically linked programs and set-user-id or\n"
            "set-group-id programs cannot be recorded, because the dynamic loader\n"
            "ignores the preload library for them: memloupe refuses them with exit 1.\n"
            "\n"
            "memloupe exits with PROGRAM's exit status (128 + N if a signal N ended it).\n"
            "Ctrl-C reaches PROGRAM; the trace is still completed. If processes that\n"
            "outlive PROGRAM are being recorded, memloupe waits for them; another\n"
            "Ctrl-C finishes every trace at once.\n"
            "\n"
            "With --pid, the trace holds what happened after attaching (frees of\n"
            "older blocks are left out); Ctrl-C (or SIGTERM) switches the recorder\n"
            "in the process off and puts its redirections back. Attaching needs\n"
            "gdb and ptrace rights over the process; memloupe exits with 1 when it\n"
            "cannot attach and says why, 0 when the trace is written.\n");
}

std::string directoryOf(const std::string &path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string baseName(const std::string &path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool isFile(const std::string &path)
{
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

std::string findPreloadLibrary()
{
    if (const char *override = getenv(PreloadOverrideEnv); override && *override) {
        return isFile(override) ? std::string(override) : std::string();
    }
    char self[PATH_MAX];
    const auto length = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (length <= 0) {
        return {};
    }
    self[length] = '\0';
    const std::string directory = directoryOf(self);
    // the build tree keeps both in one directory; an installation keeps the
    // library where the build configured it, relative to the launcher
    for (const std::string &candidate : {directory + "/" + PreloadLibraryName, directory + "/" MEMLOUPE_PRELOAD_RELATIVE_DIR "/" + PreloadLibraryName}) {
        if (isFile(candidate)) {
            char resolved[PATH_MAX];
            return realpath(candidate.c_str(), resolved) ? std::string(resolved) : candidate;
        }
    }
    return {};
}

std::string humanSize(uint64_t bytes)
{
    const char *units[] = {"B", "kB", "MB", "GB", "TB"};
    double value = double(bytes);
    int unit = 0;
    while (value >= 1000 && unit < 4) {
        value /= 1000;
        ++unit;
    }
    char text[32];
    if (unit == 0) {
        snprintf(text, sizeof(text), "%llu B", static_cast<unsigned long long>(bytes));
    } else {
        snprintf(text, sizeof(text), "%.1f %s", value, units[unit]);
    }
    return text;
}

std::string shellQuoted(const std::string &text)
{
    if (!text.empty() && text.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-./+:,=@%") == std::string::npos) {
        return text;
    }
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

bool startsWith(const char *text, const char *prefix)
{
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

int statusToExitCode(int status)
{
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return 1;
}

struct Options {
    std::string output;
    bool recordChildren = false;
    int programIndex = -1;
    pid_t pid = 0; // --pid
    double duration = -1; // --duration, seconds
};

bool parseNumber(const char *text, double *value, bool integer)
{
    if (!text || !*text) {
        return false;
    }
    char *end = nullptr;
    errno = 0;
    *value = integer ? double(strtol(text, &end, 10)) : strtod(text, &end);
    return errno == 0 && end && *end == '\0' && *value > 0 && *value < 1e9;
}

// -1: go on; else exit with this code
int parseOptions(int argc, char **argv, Options *options)
{
    int i = 1;
    for (; i < argc; ++i) {
        const char *argument = argv[i];
        if (strcmp(argument, "--") == 0) {
            ++i;
            break;
        }
        if (argument[0] != '-' || argument[1] == '\0') {
            break;
        }
        if (strcmp(argument, "-h") == 0 || strcmp(argument, "--help") == 0) {
            printUsage(stdout);
            return 0;
        }
        if (strcmp(argument, "--version") == 0) {
            printf("memloupe %s\n", MEMLOUPE_VERSION_STRING);
            return 0;
        }
        if (strcmp(argument, "--record-children") == 0) {
            options->recordChildren = true;
        } else if (strcmp(argument, "--pid") == 0 || startsWith(argument, "--pid=") || strcmp(argument, "--duration") == 0
                   || startsWith(argument, "--duration=")) {
            const bool pid = startsWith(argument, "--pid");
            const char *value = strchr(argument, '=');
            if (value) {
                ++value;
            } else if (i + 1 < argc) {
                value = argv[++i];
            }
            double number = 0;
            if (!parseNumber(value, &number, pid)) {
                fprintf(stderr,
                        "memloupe: %s needs a %s\n",
                        pid ? "--pid" : "--duration",
                        pid ? "process id (a positive whole number)" : "number of seconds above 0");
                return 2;
            }
            if (pid) {
                options->pid = pid_t(number);
            } else {
                options->duration = number;
            }
        } else if (strcmp(argument, "-o") == 0 || strcmp(argument, "--output") == 0) {
            if (i + 1 >= argc) {
                fprintf(stderr, "memloupe: %s needs a file name\n", argument);
                return 2;
            }
            options->output = argv[++i];
        } else if (startsWith(argument, "--output=")) {
            options->output = argument + strlen("--output=");
        } else if (startsWith(argument, "-o")) {
            options->output = argument + 2;
        } else {
            fprintf(stderr, "memloupe: unknown option %s\n", argument);
            printUsage(stderr);
            return 2;
        }
        if (options->output.empty() && (startsWith(argument, "-o") || startsWith(argument, "--output"))) {
            fprintf(stderr, "memloupe: the output file name is empty\n");
            return 2;
        }
    }
    if (options->pid) {
        if (i < argc) {
            fprintf(stderr, "memloupe: --pid records a running process; no program can be given with it (%s)\n", argv[i]);
            return 2;
        }
        if (options->recordChildren) {
            fprintf(stderr, "memloupe: --record-children cannot be used with --pid\n");
            return 2;
        }
        return -1;
    }
    if (options->duration > 0) {
        fprintf(stderr, "memloupe: --duration is for --pid\n");
        return 2;
    }
    if (i >= argc) {
        fprintf(stderr, "memloupe: no program given\n");
        printUsage(stderr);
        return 2;
    }
    options->programIndex = i;
    return -1;
}

// Environment of the program: ours first, the rest as it was. MEMLOUPE_PID
// is the last entry, filled in by the child, which alone knows its pid.
std::vector<std::string> programEnvironment(const std::string &socketPath, const std::string &library, bool recordChildren)
{
    using namespace MemloupeProtocol;
    std::vector<std::string> environment;
    std::string preload = library;
    for (char **entry = environ; *entry; ++entry) {
        const char *text = *entry;
        auto named = [text](const char *name) {
            const size_t length = strlen(name);
            return strncmp(text, name, length) == 0 && text[length] == '=';
        };
        if (named(PreloadEnv)) {
            const char *existing = text + strlen(PreloadEnv) + 1;
            if (*existing) {
                preload += ':';
                preload += existing;
            }
            continue;
        }
        if (named(SocketEnv) || named(PidEnv) || named(LauncherPidEnv) || named(RecordChildrenEnv)) {
            continue;
        }
        environment.push_back(text);
    }
    environment.push_back(std::string(PreloadEnv) + "=" + preload);
    environment.push_back(std::string(SocketEnv) + "=" + socketPath);
    environment.push_back(std::string(LauncherPidEnv) + "=" + std::to_string(getpid()));
    environment.push_back(std::string(RecordChildrenEnv) + "=" + (recordChildren ? "1" : "0"));
    environment.push_back(std::string(PidEnv) + "=" + std::string(24, '\0'));
    return environment;
}

void writeDecimal(char *out, long value)
{
    char digits[24];
    int count = 0;
    do {
        digits[count++] = char('0' + value % 10);
        value /= 10;
    } while (value);
    while (count) {
        *out++ = digits[--count];
    }
    *out = '\0';
}

bool outputWritable(const Options &options)
{
    const bool defaultOutput = options.output.empty();
    const std::string outputDirectory = defaultOutput ? std::string(".") : directoryOf(options.output);
    struct stat outputStatus;
    if (!defaultOutput && stat(options.output.c_str(), &outputStatus) == 0 && S_ISDIR(outputStatus.st_mode)) {
        fprintf(stderr, "memloupe: %s is a directory\n", options.output.c_str());
        return false;
    }
    if (access(outputDirectory.c_str(), W_OK | X_OK) != 0
        || (!defaultOutput && access(options.output.c_str(), F_OK) == 0 && access(options.output.c_str(), W_OK) != 0)) {
        fprintf(stderr, "memloupe: cannot write %s: %s\n", defaultOutput ? "into the working directory" : options.output.c_str(), strerror(errno));
        return false;
    }
    return true;
}

void installSignalHandlers()
{
    // handlers, not SIG_IGN: an ignored signal would stay ignored in the program
    struct sigaction action {
    };
    action.sa_handler = onSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int number : {SIGINT, SIGQUIT, SIGTERM, SIGHUP}) {
        sigaction(number, &action, nullptr);
    }
    signal(SIGPIPE, SIG_IGN);
}

void printWritten(const std::vector<StreamResult> &results)
{
    for (const auto &result : results) {
        if (!result.created) {
            continue;
        }
        fprintf(stderr,
                "memloupe: wrote %s (%s, %llu allocations)%s%s; open it with: memloupe_gui %s\n",
                result.path.c_str(),
                humanSize(result.fileSize).c_str(),
                static_cast<unsigned long long>(result.allocations),
                result.complete ? "" : " - INCOMPLETE: ",
                result.complete ? "" : result.problem.c_str(),
                shellQuoted(result.path).c_str());
    }
}

// `memloupe --pid PID`: the process is not ours, so its exit status is not
// either; memloupe exits with 0 once the trace is written.
int runAttached(const Options &options)
{
    const pid_t pid = options.pid;
    const auto target = checkAttachTarget(pid);
    if (target.exitCode) {
        fprintf(stderr, "memloupe: %s\n", target.message.c_str());
        return target.exitCode;
    }
    const std::string gdb = findGdb();
    if (gdb.empty()) {
        fprintf(stderr,
                "memloupe: attaching needs gdb, which was not found%s (Debian package gdb)\n",
                getenv("MEMLOUPE_GDB") ? " where MEMLOUPE_GDB says" : " in PATH");
        return 1;
    }
    const std::string library = findPreloadLibrary();
    if (library.empty()) {
        fprintf(stderr, "memloupe: cannot find %s (next to memloupe, in its library directory, or named by %s)\n", PreloadLibraryName, PreloadOverrideEnv);
        return 1;
    }
    if (!outputWritable(options)) {
        return 1;
    }
    const bool defaultOutput = options.output.empty();
    const auto compression = defaultOutput ? TraceFormat::Compression::Zstd : TraceFormat::compressionForPath(options.output);
    const std::string output = defaultOutput ? "memloupe." + baseName(target.executable) + "." + std::to_string(pid) + ".zst" : options.output;

    OutputNaming naming;
    naming.directory = defaultOutput ? std::string(".") : directoryOf(options.output);
    naming.suffix = TraceFormat::suffixFor(compression);
    Session session(naming);
    std::string error;
    if (!session.listen(&error)) {
        fprintf(stderr, "memloupe: %s\n", error.c_str());
        return 1;
    }
    session.setProgramPid(pid, output);
    if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        fprintf(stderr, "memloupe: %s\n", strerror(errno));
        return 1;
    }
    installSignalHandlers();

    const auto loaded = loadRecorder(gdb, pid, library, session.socketPath(), session.directory());
    if (!loaded.started) {
        fprintf(stderr, "memloupe: %s\n", loaded.message.c_str());
        return 1;
    }
    fprintf(stderr,
            "memloupe: attached to %s (pid %d), recording into %s; Ctrl-C stops recording, the process runs on\n",
            baseName(target.executable).c_str(),
            int(pid),
            output.c_str());

    const auto start = std::chrono::steady_clock::now();
    bool detaching = false;
    for (;;) {
        pollfd waiting[2] = {{session.listenDescriptor(), POLLIN, 0}, {signalPipe[0], POLLIN, 0}};
        poll(waiting, 2, 20);
        session.acceptPending();
        unsigned char number;
        bool stop = false;
        while (read(signalPipe[0], &number, 1) == 1) {
            if (detaching && (number == SIGINT || number == SIGTERM)) {
                // a second Ctrl-C: do not wait for the process any longer
                session.finishAll();
            }
            stop = true;
        }
        if (options.duration > 0 && std::chrono::steady_clock::now() - start >= std::chrono::duration<double>(options.duration)) {
            stop = true;
        }
        if (stop && !detaching) {
            detaching = true;
            session.detachAll();
        }
        if (session.everyStreamFinished() && std::chrono::steady_clock::now() - start > std::chrono::milliseconds(200)) {
            break;
        }
    }
    const auto results = session.join();
    if (results.empty()) {
        fprintf(stderr, "memloupe: the recorder in pid %d never connected; no trace written\n", int(pid));
        return 1;
    }
    if (detaching) {
        fprintf(stderr, "memloupe: stopped recording pid %d, which runs on\n", int(pid));
    } else {
        fprintf(stderr, "memloupe: pid %d has ended\n", int(pid));
    }
    printWritten(results);
    return 0;
}
}

int main(int argc, char **argv)
{
    Options options;
    if (const int code = parseOptions(argc, argv, &options); code >= 0) {
        return code;
    }
    if (options.pid) {
        return runAttached(options);
    }
    const std::string programName = argv[options.programIndex];
    const auto program = checkProgram(programName);
    if (program.exitCode) {
        fprintf(stderr, "memloupe: %s\n", program.message.c_str());
        return program.exitCode;
    }
    const std::string library = findPreloadLibrary();
    if (library.empty()) {
        fprintf(stderr, "memloupe: cannot find %s (next to memloupe, in its library directory, or named by %s)\n", PreloadLibraryName, PreloadOverrideEnv);
        return 1;
    }

    const bool defaultOutput = options.output.empty();
    const std::string outputDirectory = defaultOutput ? std::string(".") : directoryOf(options.output);
    if (!outputWritable(options)) {
        return 1;
    }
    const auto compression = defaultOutput ? TraceFormat::Compression::Zstd : TraceFormat::compressionForPath(options.output);

    OutputNaming naming;
    naming.directory = outputDirectory;
    naming.suffix = TraceFormat::suffixFor(compression);
    naming.recordChildren = options.recordChildren;
    Session session(naming);
    std::string error;
    if (!session.listen(&error)) {
        fprintf(stderr, "memloupe: %s\n", error.c_str());
        return 1;
    }

    if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        fprintf(stderr, "memloupe: %s\n", strerror(errno));
        return 1;
    }
    installSignalHandlers();

    auto environmentText = programEnvironment(session.socketPath(), library, options.recordChildren);
    std::vector<char *> environment;
    for (auto &entry : environmentText) {
        environment.push_back(&entry[0]);
    }
    environment.push_back(nullptr);
    char *pidEntry = environment[environment.size() - 2] + strlen(MemloupeProtocol::PidEnv) + 1;
    std::vector<char *> arguments(argv + options.programIndex, argv + argc);
    arguments.push_back(nullptr);

    int execPipe[2];
    if (pipe2(execPipe, O_CLOEXEC) != 0) {
        fprintf(stderr, "memloupe: %s\n", strerror(errno));
        return 1;
    }
    const pid_t child = fork();
    if (child < 0) {
        fprintf(stderr, "memloupe: cannot start %s: %s\n", programName.c_str(), strerror(errno));
        return 1;
    }
    if (child == 0) {
        struct sigaction standard {
        };
        standard.sa_handler = SIG_DFL;
        for (int number : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE}) {
            sigaction(number, &standard, nullptr);
        }
        writeDecimal(pidEntry, long(getpid()));
        execve(program.path.c_str(), arguments.data(), environment.data());
        const int failure = errno;
        (void)!write(execPipe[1], &failure, sizeof(failure));
        _exit(127);
    }
    close(execPipe[1]);
    int execError = 0;
    ssize_t got;
    do {
        got = read(execPipe[0], &execError, sizeof(execError));
    } while (got < 0 && errno == EINTR);
    close(execPipe[0]);
    if (got == ssize_t(sizeof(execError))) {
        waitpid(child, nullptr, 0);
        fprintf(stderr, "memloupe: %s: %s\n", programName.c_str(), strerror(execError));
        return execError == ENOENT ? 127 : 126;
    }

    const std::string output = defaultOutput ? "memloupe." + baseName(program.path) + "." + std::to_string(child) + ".zst" : options.output;
    session.setProgramPid(child, output);
    fprintf(stderr, "memloupe: recording %s (pid %d) into %s\n", programName.c_str(), int(child), output.c_str());

    bool programRunning = true;
    int programStatus = 0;
    bool announcedWaiting = false;
    std::chrono::steady_clock::time_point programEnd;
    for (;;) {
        pollfd waiting[2] = {{session.listenDescriptor(), POLLIN, 0}, {signalPipe[0], POLLIN, 0}};
        poll(waiting, 2, 20);
        session.acceptPending();
        unsigned char number;
        while (read(signalPipe[0], &number, 1) == 1) {
            if (programRunning) {
                // SIGINT and SIGQUIT come from the terminal, which sent them to the program as well
                if (number == SIGTERM || number == SIGHUP) {
                    kill(child, number);
                }
            } else if (number == SIGINT || number == SIGTERM || number == SIGHUP) {
                session.finishAll();
            }
        }
        if (programRunning) {
            int status = 0;
            const pid_t reaped = waitpid(child, &status, WNOHANG);
            if (reaped == child && (WIFEXITED(status) || WIFSIGNALED(status))) {
                programRunning = false;
                programStatus = status;
                programEnd = std::chrono::steady_clock::now();
                session.programReaped();
            }
            continue;
        }
        // a last connection may still wait in the backlog
        session.acceptPending();
        if (session.everyStreamFinished()) {
            break;
        }
        if (!announcedWaiting && std::chrono::steady_clock::now() - programEnd > std::chrono::seconds(1)) {
            for (pid_t pid : session.runningPids()) {
                fprintf(stderr, "memloupe: %s has ended; waiting for pid %d, which is still recorded (Ctrl-C finishes now)\n", programName.c_str(), int(pid));
                announcedWaiting = true;
            }
        }
    }

    const auto results = session.join();
    const int exitCode = statusToExitCode(programStatus);
    if (results.empty()) {
        fprintf(stderr,
                "memloupe: %s never connected: the preload library was not loaded (a static program started by it, LD_PRELOAD cleared, or a loader error "
                "above); no trace written\n",
                programName.c_str());
        return exitCode;
    }
    printWritten(results);
    return exitCode;
}
