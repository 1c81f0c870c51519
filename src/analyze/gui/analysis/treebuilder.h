/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    Building the cost trees and the caller/callee map from the merged
    allocation records of a read file.
*/

#pragma once

#include <functional>
#include <memory>
#include <utility>

#include <QString>

#include "analyze/gui/analysis/callercalleedata.h"
#include "analyze/gui/analysis/treedata.h"

class ParserData;
class ResultData;

using ProgressReporter = std::function<void(const QString &message)>;

// The bottom-up tree, and the per-line data of the caller/callee map gathered on the way.
std::pair<TreeData, CallerCalleeResults>
mergeAllocations(const ProgressReporter &reportProgress, const ParserData &data, const std::shared_ptr<const ResultData> &resultData);

TreeData toTopDownData(const TreeData &bottomUpData);

CallerCalleeResults toCallerCalleeData(const TreeData &bottomUpData, CallerCalleeResults results, bool diffMode);
