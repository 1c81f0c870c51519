/*
    Prints the results of one analysis as text or as a JSON document.
*/

#pragma once

#include <cstdio>

#include <QString>

#include "../callercalleedata.h"
#include "../chartdata.h"
#include "../histogramdata.h"
#include "../summarydata.h"
#include "../treedata.h"

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
