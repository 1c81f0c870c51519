/* SPDX-FileCopyrightText: 2026 memloupe developers
 SPDX-License-Identifier: GPL-2.0-or-later */

#include "launcher/attach.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/protocol.h"
#include "launcher/attachscript.h"

namespace
{
AttachCheck refuse(std::string message)
{
    AttachCheck check;
    check.exitCode = 1;
    check.message = std::move(message);
    return check;
}

std::string permissionMessage(pid_t pid)
{
    return "not allowed to trace pid " + std::to_string(pid)
        + ": attaching needs ptrace rights over it (run as its user with /proc/sys/kernel/yama/ptrace_scope at 0, or with CAP_SYS_PTRACE, e.g. as root)";
}

// appends what @p fd gives until its end (or an error), then closes it
void readAll(int fd, std::string *text)
{
    char buffer[65536];
    for (;;) {
        const auto n = read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        text->append(buffer, size_t(n));
    }
    close(fd);
}

bool readFile(const std::string &path, std::string *text, int *error)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = errno;
        return false;
    }
    readAll(fd, text);
    return true;
}

// the line of @p text that starts at @p begin, which moves past its line feed
std::string takeLine(const std::string &text, size_t *begin)
{
    size_t end = text.find('\n', *begin);
    if (end == std::string::npos) {
        end = text.size();
    }
    std::string line = text.substr(*begin, end - *begin);
    *begin = end + 1;
    return line;
}

bool isExecutable(const std::string &path)
{
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && access(path.c_str(), X_OK) == 0;
}
}

AttachCheck checkAttachTarget(pid_t pid)
{
    const std::string proc = "/proc/" + std::to_string(pid);
    if (pid <= 0 || (kill(pid, 0) != 0 && errno == ESRCH) || access(proc.c_str(), F_OK) != 0) {
        return refuse("no process with pid " + std::to_string(pid));
    }
    if (pid == getpid()) {
        return refuse("memloupe cannot record itself");
    }
    std::string status;
    int error = 0;
    if (readFile(proc + "/stat", &status, &error)) {
        const auto close = status.rfind(')');
        if (close != std::string::npos && close + 2 < status.size() && (status[close + 2] == 'Z' || status[close + 2] == 'X')) {
            return refuse("pid " + std::to_string(pid) + " has ended (a zombie waiting for its parent)");
        }
    }
    // what ptrace would say, without stopping the process
    const int mem = open((proc + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
    if (mem < 0) {
        if (errno == EACCES || errno == EPERM) {
            return refuse(permissionMessage(pid));
        }
        if (errno == ENOENT || errno == ESRCH) {
            return refuse("no process with pid " + std::to_string(pid));
        }
    } else {
        close(mem);
    }
    AttachCheck check;
    char exe[PATH_MAX];
    const auto length = readlink((proc + "/exe").c_str(), exe, sizeof(exe) - 1);
    if (length > 0) {
        check.executable.assign(exe, size_t(length));
    } else {
        return length < 0 && (errno == EACCES || errno == EPERM) ? refuse(permissionMessage(pid))
                                                                 : refuse("pid " + std::to_string(pid) + " has no executable (a kernel thread?)");
    }
    std::string maps;
    if (!readFile(proc + "/maps", &maps, &error)) {
        return error == EACCES || error == EPERM ? refuse(permissionMessage(pid)) : refuse("no process with pid " + std::to_string(pid));
    }
    bool libc = false;
    size_t begin = 0;
    while (begin < maps.size()) {
        const std::string line = takeLine(maps, &begin);
        if (line.find("memfd:memloupe-ring") != std::string::npos) {
            return refuse("pid " + std::to_string(pid) + " is already being recorded by memloupe");
        }
        const auto slash = line.rfind('/');
        if (slash != std::string::npos && (line.compare(slash + 1, 8, "libc.so.") == 0 || line.compare(slash + 1, 5, "libc-") == 0)) {
            libc = true;
        }
    }
    if (!libc) {
        return refuse(check.executable + " (pid " + std::to_string(pid) + ") is statically linked: the recorder cannot be loaded into it");
    }
    return check;
}

std::string findGdb()
{
    if (const char *override = getenv("MEMLOUPE_GDB"); override && *override) {
        return isExecutable(override) ? std::string(override) : std::string();
    }
    const char *path = getenv("PATH");
    std::string searchPath = path ? path : "/usr/bin:/bin";
    size_t begin = 0;
    for (;;) {
        const size_t end = std::min(searchPath.find(':', begin), searchPath.size());
        const std::string directory = searchPath.substr(begin, end - begin);
        const std::string candidate = (directory.empty() ? std::string(".") : directory) + "/gdb";
        if (isExecutable(candidate)) {
            return candidate;
        }
        if (end >= searchPath.size()) {
            return {};
        }
        begin = end + 1;
    }
}

AttachOutcome loadRecorder(const std::string &gdb, pid_t pid, const std::string &library, const std::string &socketPath, const std::string &scratchDirectory)
{
    AttachOutcome outcome;
    const std::string script = scratchDirectory + "/attach.py";
    {
        FILE *file = fopen(script.c_str(), "we");
        if (!file || fputs(AttachScript, file) < 0 || fclose(file) != 0) {
            outcome.message = "cannot write " + script + ": " + strerror(errno);
            return outcome;
        }
    }
    int output[2];
    if (pipe2(output, O_CLOEXEC) != 0) {
        outcome.message = std::string("cannot start gdb: ") + strerror(errno);
        unlink(script.c_str());
        return outcome;
    }
    std::vector<std::string> environmentText;
    extern char **environ;
    for (char **entry = environ; *entry; ++entry) {
        if (strncmp(*entry, "MEMLOUPE_ATTACH_", 16) != 0 && strncmp(*entry, "DEBUGINFOD_URLS=", 16) != 0) {
            environmentText.push_back(*entry);
        }
    }
    environmentText.push_back("MEMLOUPE_ATTACH_PID=" + std::to_string(pid));
    environmentText.push_back("MEMLOUPE_ATTACH_LIBRARY=" + library);
    environmentText.push_back("MEMLOUPE_ATTACH_SOCKET=" + socketPath);
    environmentText.push_back("MEMLOUPE_ATTACH_LAUNCHER=" + std::to_string(getpid()));
    std::vector<char *> environment;
    for (auto &entry : environmentText) {
        environment.push_back(&entry[0]);
    }
    environment.push_back(nullptr);
    std::vector<std::string> argumentText = {gdb, "-batch", "-nx", "-q", "-iex", "set debuginfod enabled off", "-x", script};
    std::vector<char *> arguments;
    for (auto &argument : argumentText) {
        arguments.push_back(&argument[0]);
    }
    arguments.push_back(nullptr);

    const pid_t child = fork();
    if (child < 0) {
        outcome.message = std::string("cannot start gdb: ") + strerror(errno);
        close(output[0]);
        close(output[1]);
        unlink(script.c_str());
        return outcome;
    }
    if (child == 0) {
        // its own process group: Ctrl-C meant for memloupe must not hit gdb while the target is stopped
        setpgid(0, 0);
        dup2(output[1], 1);
        dup2(output[1], 2);
        const int null = open("/dev/null", O_RDONLY);
        if (null >= 0) {
            dup2(null, 0);
        }
        execve(gdb.c_str(), arguments.data(), environment.data());
        _exit(127);
    }
    close(output[1]);
    std::string text;
    readAll(output[0], &text);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) { }
    unlink(script.c_str());

    std::string result;
    std::string message;
    std::string error;
    std::string attachFailed;
    size_t begin = 0;
    const std::string prefix = "memloupe-attach: ";
    while (begin < text.size()) {
        const std::string line = takeLine(text, &begin);
        if (line.compare(0, prefix.size(), prefix) != 0) {
            continue;
        }
        const std::string rest = line.substr(prefix.size());
        const auto space = rest.find(' ');
        const std::string key = rest.substr(0, space);
        const std::string value = space == std::string::npos ? std::string() : rest.substr(space + 1);
        if (key == "result") {
            result = value;
        } else if (key == "message") {
            message = value;
        } else if (key == "error") {
            error = value;
        } else if (key == "attach-failed") {
            attachFailed = value;
        }
    }
    if (result == "0") {
        outcome.started = true;
        return outcome;
    }
    if (!attachFailed.empty()) {
        outcome.message = attachFailed.find("not permitted") != std::string::npos ? permissionMessage(pid)
                                                                                  : "gdb cannot attach to pid " + std::to_string(pid) + ": " + attachFailed;
    } else if (!result.empty()) {
        outcome.message = std::to_string(pid) + ": " + (message.empty() ? "the recorder did not start" : message);
        if (result == std::to_string(MemloupeProtocol::AttachAlreadyRecording)) {
            outcome.message = "pid " + std::to_string(pid) + " is already being recorded by memloupe";
        }
    } else if (!error.empty()) {
        outcome.message = "cannot load the recorder into pid " + std::to_string(pid) + ": " + error;
    } else {
        // gdb itself failed: its last line says why
        std::string last;
        size_t from = 0;
        while (from < text.size()) {
            size_t end = text.find('\n', from);
            if (end == std::string::npos) {
                end = text.size();
            }
            if (end > from) {
                last = text.substr(from, end - from);
            }
            from = end + 1;
        }
        outcome.message = "gdb could not load the recorder into pid " + std::to_string(pid) + (last.empty() ? std::string() : ": " + last);
    }
    return outcome;
}
