/*
    The one place where numbers, durations and locations become text.
*/

#pragma once

#include <QString>

struct AllocationData;
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

QString formatTooltip(const Symbol &symbol, const AllocationData &costs, const ResultData &resultData);
QString formatTooltip(const Symbol &symbol, const AllocationData &selfCosts, const AllocationData &inclusiveCosts, const ResultData &resultData);
QString formatTooltip(const FileLine &location, const AllocationData &selfCosts, const AllocationData &inclusiveCosts, const ResultData &resultData);
}
