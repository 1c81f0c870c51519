/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    Time window and suppression options of one analysis run.
*/

#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

struct FilterParameters {
    // milliseconds since the start of the profiled run
    int64_t minTime = 0;
    int64_t maxTime = std::numeric_limits<int64_t>::max();
    // extra leak-suppression patterns, e.g. from a user's suppression file
    std::vector<std::string> suppressions;
    bool disableEmbeddedSuppressions = false;
    bool disableBuiltinSuppressions = false;
};
