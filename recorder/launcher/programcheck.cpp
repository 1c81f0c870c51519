/* SPDX-FileCopyrightText: 2026 memloupe developers
 SPDX-License-Identifier: GPL-2.0-or-later */

#include "launcher/programcheck.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
ProgramCheck failure(int code, std::string message)
{
    ProgramCheck check;
    check.exitCode = code;
    check.message = std::move(message);
    return check;
}

bool isExecutableFile(const std::string &path, struct stat *status)
{
    return stat(path.c_str(), status) == 0 && S_ISREG(status->st_mode) && access(path.c_str(), X_OK) == 0;
}

template<typename Header, typename ProgramHeader>
int dynamicKind(int fd, const std::string &path)
{
    Header header;
    if (pread(fd, &header, sizeof(header), 0) != ssize_t(sizeof(header))) {
        return -1;
    }
    bool interpreter = false;
    bool dynamic = false;
    for (unsigned i = 0; i < header.e_phnum; ++i) {
        ProgramHeader program;
        if (pread(fd, &program, sizeof(program), off_t(header.e_phoff + i * header.e_phentsize)) != ssize_t(sizeof(program))) {
            return -1;
        }
        interpreter |= program.p_type == PT_INTERP;
        dynamic |= program.p_type == PT_DYNAMIC;
    }
    if (interpreter) {
        return 1;
    }
    // the dynamic loader run as a program honours LD_PRELOAD for the one it
    // loads; any other file without an interpreter (static, static-pie) runs alone
    const auto slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const bool loader = dynamic && header.e_type == ET_DYN && (name.compare(0, 3, "ld-") == 0 || name.compare(0, 5, "ld.so") == 0);
    return loader ? 1 : 0;
}

// 1: an ELF file the dynamic loader starts, 0: a static one, -1: unreadable,
// 2: a script, whose interpreter is stored in *interpreter.
int programKind(const std::string &path, std::string *interpreter)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    unsigned char start[256] = {};
    const auto length = pread(fd, start, sizeof(start) - 1, 0);
    int kind = -1;
    if (length >= 2 && start[0] == '#' && start[1] == '!') {
        const char *text = reinterpret_cast<const char *>(start + 2);
        while (*text == ' ' || *text == '\t') {
            ++text;
        }
        const char *end = text;
        while (*end && *end != ' ' && *end != '\t' && *end != '\n') {
            ++end;
        }
        interpreter->assign(text, end);
        kind = 2;
    } else if (length >= EI_NIDENT && memcmp(start, ELFMAG, SELFMAG) == 0) {
        if (start[EI_CLASS] == ELFCLASS64) {
            kind = dynamicKind<Elf64_Ehdr, Elf64_Phdr>(fd, path);
        } else if (start[EI_CLASS] == ELFCLASS32) {
            kind = dynamicKind<Elf32_Ehdr, Elf32_Phdr>(fd, path);
        }
    }
    close(fd);
    return kind;
}

// Set-user-id and set-group-id programs run in the loader's secure mode,
// which drops LD_PRELOAD, whenever the exec changes who the process is.
bool changesIdentity(const struct stat &status)
{
    return ((status.st_mode & S_ISUID) && status.st_uid != geteuid()) || ((status.st_mode & S_ISGID) && status.st_gid != getegid());
}

ProgramCheck checkFile(const std::string &shown, const std::string &path, int depth)
{
    struct stat status;
    if (stat(path.c_str(), &status) == 0 && changesIdentity(status)) {
        return failure(1, shown + ": runs set-user-id or set-group-id; the dynamic loader would ignore the preload library, nothing could be recorded");
    }
    std::string interpreter;
    const int kind = programKind(path, &interpreter);
    if (kind == 0) {
        return failure(1, shown + ": statically linked; the preload library cannot be loaded into it, nothing could be recorded");
    }
    if (kind == 2 && depth == 0 && !interpreter.empty()) {
        // the kernel starts the interpreter, which is what gets recorded
        const auto check = checkFile(shown + ": interpreter " + interpreter, interpreter, depth + 1);
        if (check.exitCode == 1) {
            return check;
        }
    }
    ProgramCheck check;
    check.path = path;
    return check;
}
}

ProgramCheck checkProgram(const std::string &name)
{
    if (name.empty()) {
        return failure(127, ": command not found");
    }
    struct stat status;
    if (name.find('/') != std::string::npos) {
        if (stat(name.c_str(), &status) != 0) {
            return failure(127, name + ": " + strerror(errno));
        }
        if (S_ISDIR(status.st_mode)) {
            return failure(126, name + ": Is a directory");
        }
        if (access(name.c_str(), X_OK) != 0) {
            return failure(126, name + ": " + strerror(errno));
        }
        return checkFile(name, name, 0);
    }
    const char *pathVariable = getenv("PATH");
    std::string searchPath;
    if (pathVariable) {
        searchPath = pathVariable;
    } else {
        // what a shell uses without PATH
        searchPath.resize(confstr(_CS_PATH, nullptr, 0));
        confstr(_CS_PATH, &searchPath[0], searchPath.size());
        searchPath.resize(strlen(searchPath.c_str()));
    }
    std::string notExecutable;
    size_t begin = 0;
    for (;;) {
        const size_t end = std::min(searchPath.find(':', begin), searchPath.size());
        // an empty entry means the working directory
        std::string directory = searchPath.substr(begin, end - begin);
        const std::string candidate = (directory.empty() ? std::string(".") : directory) + "/" + name;
        if (isExecutableFile(candidate, &status)) {
            return checkFile(name, candidate, 0);
        }
        if (notExecutable.empty() && stat(candidate.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
            notExecutable = candidate;
        }
        if (end >= searchPath.size()) {
            break;
        }
        begin = end + 1;
    }
    if (!notExecutable.empty()) {
        return failure(126, notExecutable + ": Permission denied");
    }
    return failure(127, name + ": command not found");
}
