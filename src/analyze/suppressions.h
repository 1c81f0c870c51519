/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    Leak suppressions in the LeakSanitizer suppression-file syntax.
*/

#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

struct Suppression {
    std::string pattern;
    // number of call-stack cost records this rule suppressed
    int64_t matches = 0;
    // bytes this rule suppressed
    int64_t leaked = 0;
};

struct SuppressionStringMatch {
    static constexpr std::size_t NO_MATCH = std::numeric_limits<std::size_t>::max();

    SuppressionStringMatch() = default;
    explicit SuppressionStringMatch(std::size_t index)
        : suppressionIndex(index)
    {
    }

    explicit operator bool() const
    {
        return suppressionIndex != NO_MATCH;
    }

    std::size_t suppressionIndex = NO_MATCH;
};

// The pattern defined by one line of a suppression file; empty when the line defines none.
std::string parseSuppression(std::string line);

// Every pattern of a suppression file, in file order. An empty file name yields nothing.
std::vector<std::string> parseSuppressions(const std::string &suppressionFile, bool *ok);

std::vector<Suppression> builtinSuppressions();

bool matchesSuppression(const std::string &suppression, const std::string &haystack);
