/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    What the summary page shows of one run.
*/

#pragma once

#include <QMetaType>
#include <QString>
#include <QVector>

#include "analyze/allocationdata.h"
#include "analyze/filterparameters.h"
#include "analyze/suppressions.h"
#include "analyze/tracediagnostics.h"

#include "analyze/gui/analysis/missingsymbols.h"

struct SummaryData {
    QString debuggee;
    AllocationData cost;
    int64_t totalLeakedSuppressed = 0;
    int64_t totalTime = 0;
    FilterParameters filterParameters;
    int64_t peakTime = 0;
    // bytes
    int64_t peakRSS = 0;
    // bytes
    int64_t totalSystemMemory = 0;
    bool fromAttached = false;
    QVector<Suppression> suppressions;
    // problems met while reading the file (the primary file in diff mode)
    TraceDiagnostics diagnostics;
    // modules whose frames have no function names; empty for a diff
    MissingSymbols missingSymbols;
};

Q_DECLARE_METATYPE(SummaryData)
