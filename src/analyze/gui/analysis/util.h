/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    The one place where numbers, durations and locations become text.
*/

#pragma once

#include <QString>

struct AllocationData;
struct TraceDiagnostics;
struct Symbol;
struct FileLine;
class ResultData;

namespace Util
{
enum class FormatType {
    Long = 0,
    Short = 1,
};

QString basename(const QString &path);
QString formatString(const QString &input);
QString formatTime(qint64 ms);
QString formatBytes(qint64 bytes);
QString formatCostRelative(qint64 cost, qint64 total, bool addPercentSign = false);

QString toString(const Symbol &symbol, const ResultData &resultData, FormatType formatType);
QString toString(const FileLine &location, const ResultData &resultData, FormatType formatType);

const QString &unresolvedFunctionName();

// A count with the locale's digit grouping ("10,419").
QString formatCount(qint64 count);

// What went wrong while reading, in one paragraph of plain text, e.g.
// "2,113 lines could not be read: 2,000 unknown records (first at line 17:
// "q 12"), 113 allocation indices out of bounds (...)." followed by a sentence
// for a file that ends early or is damaged. Empty when nothing went wrong.
QString diagnosticsText(const TraceDiagnostics &diagnostics);

QString formatTooltip(const Symbol &symbol, const AllocationData &costs, const ResultData &resultData);
QString formatTooltip(const Symbol &symbol, const AllocationData &selfCosts, const AllocationData &inclusiveCosts, const ResultData &resultData);
QString formatTooltip(const FileLine &location, const AllocationData &selfCosts, const AllocationData &inclusiveCosts, const ResultData &resultData);
}
