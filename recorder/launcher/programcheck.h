/* SPDX-FileCopyrightText: 2026 memloupe developers
 SPDX-License-Identifier: GPL-2.0-or-later */

#pragma once

#include <string>

// What the launcher finds out about a program before it starts it.
struct ProgramCheck {
    std::string path; // the file execve() gets
    int exitCode = 0; // 0: fine; else what memloupe exits with
    std::string message; // for exitCode != 0
};

// Looks the name up as a shell does (a name with a slash is a path, anything
// else is searched in PATH) and refuses programs the dynamic loader would
// start without the preload library: static ones and those that change
// their user or group id on exec. A script is checked through its
// interpreter.
ProgramCheck checkProgram(const std::string &name);
