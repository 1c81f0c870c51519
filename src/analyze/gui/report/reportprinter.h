/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    Prints the results of one analysis as text or as a JSON document.
*/

#pragma once

#include <cstdio>
#include <functional>

#include <QString>

#include "analyze/gui/analysis/analysisrun.h"

using ReportResults = AnalysisResults;

void printTextReport(FILE *out, const ReportResults &results);
class JsonWriter;

// @p extra, when set, adds top-level members after the fixed ones.
void printJsonReport(FILE *out,
                     const ReportResults &results,
                     const QString &file,
                     const QString &diffBase,
                     const std::function<void(JsonWriter &json)> &extra = {});
