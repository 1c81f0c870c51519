/* SPDX-FileCopyrightText: 2026 memloupe developers
 SPDX-License-Identifier: GPL-2.0-or-later */

#pragma once

#include <string>

#include <sys/types.h>

// `memloupe --pid PID`: what the launcher finds out about a running process
// before it touches it, and loading the recorder into it through gdb.

struct AttachCheck {
    std::string executable; // /proc/PID/exe
    int exitCode = 0; // 0: fine; else what memloupe exits with
    std::string message; // for exitCode != 0
};

// Refuses, with a one-line reason, what cannot work or would harm the
// target: no such process, not allowed to trace it, statically linked,
// already being recorded.
AttachCheck checkAttachTarget(pid_t pid);

// The gdb to use (MEMLOUPE_GDB or gdb in PATH); empty when there is none.
std::string findGdb();

struct AttachOutcome {
    bool started = false;
    std::string message; // why not
};

// Has gdb load `library` into the process and start recording into the
// launcher's socket. The target is stopped only for the time this takes.
AttachOutcome loadRecorder(const std::string &gdb, pid_t pid, const std::string &library, const std::string &socketPath, const std::string &scratchDirectory);
