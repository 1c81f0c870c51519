/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    Prints the results of one analysis as text or as a JSON document.
*/

#pragma once

#include <cstdio>

#include <QString>

#include "analyze/gui/analysis/callercalleedata.h"
#include "analyze/gui/analysis/chartdata.h"
#include "analyze/gui/analysis/histogramdata.h"
#include "analyze/gui/analysis/summarydata.h"
#include "analyze/gui/analysis/treedata.h"

struct ReportResults {
    SummaryData summary;
    TreeData bottomUp;
    TreeData topDown;
    CallerCalleeResults callerCallee;
    HistogramData histogram;
    ChartData consumed;
    ChartData allocations;
    ChartData temporary;
    bool hasCharts = false;
};

void printTextReport(FILE *out, const ReportResults &results);
void printJsonReport(FILE *out, const ReportResults &results, const QString &file, const QString &diffBase);
