/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include "suppressions.h"

#include <cstdio>
#include <fstream>
#include <string_view>

namespace
{
bool isCSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string_view trimmed(std::string_view line)
{
    while (!line.empty() && isCSpace(line.front())) {
        line.remove_prefix(1);
    }
    while (!line.empty() && isCSpace(line.back())) {
        line.remove_suffix(1);
    }
    return line;
}
}

std::string parseSuppression(std::string line)
{
    const auto text = trimmed(line);
    if (text.empty() || text.front() == '#') {
        return {};
    }
    constexpr std::string_view prefix = "leak:";
    if (text.substr(0, prefix.size()) == prefix) {
        return std::string(text.substr(prefix.size()));
    }
    fprintf(stderr, "invalid suppression line: %.*s\n", static_cast<int>(text.size()), text.data());
    fflush(stderr);
    return {};
}

std::vector<std::string> parseSuppressions(const std::string &suppressionFile, bool *ok)
{
    if (ok) {
        *ok = true;
    }
    std::vector<std::string> ret;
    if (suppressionFile.empty()) {
        return ret;
    }
    auto fail = [&]() {
        fprintf(stderr, "failed to open suppression file: %s\n", suppressionFile.c_str());
        fflush(stderr);
        if (ok) {
            *ok = false;
        }
        return std::vector<std::string>();
    };
    std::ifstream file(suppressionFile);
    if (!file.is_open()) {
        return fail();
    }
    std::string line;
    while (std::getline(file, line)) {
        auto pattern = parseSuppression(std::move(line));
        if (!pattern.empty()) {
            ret.push_back(std::move(pattern));
        }
    }
    // a directory opens fine on Linux and only fails on reading
    if (file.bad()) {
        return fail();
    }
    return ret;
}

std::vector<Suppression> builtinSuppressions()
{
    // well-known one-time allocations of the C library and GLib that are never freed
    return {{"__nss_module_allocate", 0, 0},
            {"__gconv_read_conf", 0, 0},
            {"__new_exitfn", 0, 0},
            {"tzset_internal", 0, 0},
            {"dl_open_worker", 0, 0},
            {"g_main_context_new", 0, 0},
            {"g_thread_self", 0, 0}};
}

bool matchesSuppression(const std::string &suppression, const std::string &haystack)
{
    if (suppression == haystack) {
        return true;
    }
    if (haystack.empty()) {
        return false;
    }

    std::string_view pattern = suppression;
    std::string_view rest = haystack;
    bool anchored = false;
    bool afterStar = false;
    if (!pattern.empty() && pattern.front() == '^') {
        anchored = true;
        pattern.remove_prefix(1);
    }

    while (!pattern.empty()) {
        const char c = pattern.front();
        if (c == '*') {
            pattern.remove_prefix(1);
            anchored = false;
            afterStar = true;
            continue;
        }
        if (c == '$') {
            return rest.empty() || afterStar;
        }
        if (rest.empty()) {
            return false;
        }
        const auto segmentEnd = pattern.find_first_of("*$");
        const auto segment = pattern.substr(0, segmentEnd);
        const auto pos = rest.find(segment);
        if (pos == std::string_view::npos) {
            return false;
        }
        if (anchored && pos != 0) {
            return false;
        }
        rest.remove_prefix(pos + segment.size());
        pattern.remove_prefix(segment.size());
        anchored = false;
        afterStar = false;
    }
    return true;
}
