/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

// The texts of the Summary tab: three columns of definition lists, in the
// markup QLabel renders.

#pragma once

#include <QString>

struct SummaryData;

namespace SummaryPage
{
struct Texts {
    QString left;
    QString center;
    QString right;
};

Texts texts(const SummaryData &data);

// The modules whose unnamed frames carry a noticeable share of the
// allocations, a line each, and how to get the names; empty when there are none.
QString missingSymbolsText(const SummaryData &data);
// Whether the data covers a time range rather than the whole run.
bool isFiltered(const SummaryData &data);
}
