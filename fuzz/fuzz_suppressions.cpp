/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    Fuzz target for suppression files and the pattern matcher: every line of the
    input is parsed as a suppression line; the first line is then also used as a
    raw pattern and matched against every other line, and against itself.
*/

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "analyze/suppressions.h"

namespace
{
void check(bool condition)
{
    // a broken invariant is a finding like any memory error
    if (!condition) {
        abort();
    }
}

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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    std::vector<std::string> lines;
    for (std::size_t start = 0; start <= text.size();) {
        auto end = text.find('\n', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        lines.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }

    for (const auto &line : lines) {
        const auto pattern = parseSuppression(line);
        // a pattern is exactly what follows "leak:" on the trimmed line
        const auto trimmedLine = trimmed(line);
        if (!pattern.empty()) {
            check(trimmedLine.substr(0, 5) == "leak:" && trimmedLine.substr(5) == pattern);
        } else if (trimmedLine.substr(0, 5) == "leak:") {
            check(trimmedLine.size() == 5);
        }
    }

    const std::string &pattern = lines.front();
    const std::string patternCopy = pattern;
    check(matchesSuppression(pattern, pattern));
    // without metacharacters a pattern is a plain substring test
    const bool plain = pattern.find_first_of("*$^") == std::string::npos;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const bool matches = matchesSuppression(pattern, lines[i]);
        if (plain) {
            check(matches == (pattern == lines[i] || (!lines[i].empty() && lines[i].find(pattern) != std::string::npos)));
        }
        // a pattern that matches keeps matching when the text grows at its end,
        // unless it is anchored there or matched only by being equal
        if (matches && pattern != lines[i] && pattern.find('$') == std::string::npos) {
            check(matchesSuppression(pattern, lines[i] + "x"));
        }
    }
    check(pattern == patternCopy);
    return 0;
}
