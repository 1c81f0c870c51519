/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#pragma once

#include <memory>

#include "analyze/gui/analysis/histogramdata.h"

class ParserData;
class ResultData;

// Groups the counted allocation infos into size classes. Sorts the data's
// allocationInfoCounter by size in place.
HistogramData buildSizeHistogram(ParserData &data, const std::shared_ptr<const ResultData> &resultData);
