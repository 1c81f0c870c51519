/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    The regression gates of memloupe_report: upper bounds on the totals of a
    run, or with a diff base on their growth over the base, absolute or as a
    percentage of the base's figure.
*/

#pragma once

#include <cstdint>
#include <vector>

#include <QString>

#include "analyze/allocationdata.h"

class JsonWriter;

struct Limit {
    enum Kind {
        Peak,
        Leaked,
        Allocations,
        Temporary,
    };
    Kind kind = Peak;
    // as typed on the command line, for the messages and the JSON document
    QString given;
    // bytes or a count; the percentage when relative
    double bound = 0;
    bool relative = false;

    // filled by evaluateLimits: the total, the growth, or the growth in percent
    // (null in the JSON when the base's figure is 0 and it grew)
    double measured = 0;
    bool measuredFinite = true;
    bool passed = true;
};

// Sizes count in the units the program prints them in: kB, MB, GB, TB are
// powers of 1000; KiB, MiB, GiB, TiB (accepted as well) powers of 1024; a bare
// number or "B" means bytes. Counts are plain whole numbers. Either may carry a
// leading '+'; "5%" or "+5%" is a relative bound. On failure, @p error says why,
// naming @p option.
bool parseLimit(Limit::Kind kind, const QString &option, const QString &text, Limit *limit, QString *error);

// @p total is the run's (in diff mode: the diff's, i.e. the growth) and @p base
// the base run's totals, used for relative bounds only.
void evaluateLimits(std::vector<Limit> *limits, const AllocationData &total, const AllocationData &base, bool diffMode);

// One line per exceeded limit, e.g. "memloupe: peak 12.3MB exceeds the limit of 10MB".
QStringList limitViolations(const std::vector<Limit> &limits, bool diffMode);

// The top-level "limits" object.
void writeLimitsJson(JsonWriter &json, const std::vector<Limit> &limits, bool diffMode);
