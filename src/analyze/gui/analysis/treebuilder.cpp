/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include "analyze/gui/analysis/treebuilder.h"
#include "analysislog.h"

#include <algorithm>
#include <limits>
#include <vector>

#include <QDebug>

#include <KLocalizedString>

#include <boost/functional/hash.hpp>
#include <tsl/robin_map.h>
#include <tsl/robin_set.h>

#include "analyze/gui/analysis/parserdata.h"

namespace
{
struct Location {
    Symbol symbol;
    FileLine fileLine;
};

using SymbolGuard = tsl::robin_set<Symbol>;

struct SymbolPairHasher {
    std::size_t operator()(const std::pair<Symbol, Symbol> &pair) const
    {
        std::size_t seed = 0;
        boost::hash_combine(seed, std::hash<Symbol>()(pair.first));
        boost::hash_combine(seed, std::hash<Symbol>()(pair.second));
        return seed;
    }
};

struct ReusableGuardBuffer {
    ReusableGuardBuffer()
    {
        recursionGuard.reserve(128);
        callerCalleeRecursionGuard.reserve(128);
    }

    void reset()
    {
        recursionGuard.clear();
        callerCalleeRecursionGuard.clear();
    }

    SymbolGuard recursionGuard;
    tsl::robin_set<std::pair<Symbol, Symbol>, SymbolPairHasher> callerCalleeRecursionGuard;
};

// Where the caller/callee costs of each frame of the trace go, found by two
// hash lookups the first time a stack passes through the frame and kept for
// all the others: a million frames of stacks took most of the merging in those
// lookups. The entries and their source maps keep their nodes in place as they
// grow, and are inserted into in the same order as without the slots.
class FrameCostSlots
{
public:
    explicit FrameCostSlots(const ParserData &data)
        : m_ipCount(data.instructionPointers.size())
        , m_first(m_ipCount + 1, NONE)
    {
    }

    // of frame @p frame (0, or 1 + the index of an inlined frame) of @p ipIndex
    EntryCost **slot(IpIndex ipIndex, std::size_t frame, std::size_t inlinedFrames)
    {
        // every index outside the table names the same empty frame
        const std::size_t ip = ipIndex.index <= m_ipCount ? ipIndex.index : 0;
        if (m_first[ip] == NONE) {
            m_first[ip] = static_cast<uint32_t>(m_slots.size());
            m_slots.resize(m_slots.size() + 1 + inlinedFrames, nullptr);
        }
        return &m_slots[m_first[ip] + frame];
    }

private:
    static constexpr uint32_t NONE = ~uint32_t(0);
    std::size_t m_ipCount;
    std::vector<uint32_t> m_first;
    std::vector<EntryCost *> m_slots;
};

void addCallerCalleeEvent(const Location &location,
                          const AllocationData &cost,
                          SymbolGuard *recursionGuard,
                          CallerCalleeResults *callerCalleeResult,
                          EntryCost **slot)
{
    if (!callerCalleeResult) {
        return;
    }
    const bool isLeaf = recursionGuard->empty();
    if (!recursionGuard->insert(location.symbol).second) {
        // already counted for this backtrace
        return;
    }
    if (!*slot) {
        auto &entry = callerCalleeResult->entries[location.symbol];
        *slot = &entry.sourceMap[location.fileLine];
    }
    auto &locationCost = **slot;
    locationCost.inclusiveCost += cost;
    if (isLeaf) {
        locationCost.selfCost += cost;
    }
}

QVector<RowData> *addRow(QVector<RowData> *rows,
                         const Location &location,
                         const AllocationData &cost,
                         SymbolGuard *recursionGuard,
                         CallerCalleeResults *callerCalleeResult,
                         EntryCost **slot)
{
    auto it = std::lower_bound(rows->begin(), rows->end(), location.symbol);
    if (it != rows->end() && it->symbol == location.symbol) {
        it->cost += cost;
    } else {
        RowData row;
        row.cost = cost;
        row.symbol = location.symbol;
        it = rows->insert(it, row);
    }
    addCallerCalleeEvent(location, cost, recursionGuard, callerCalleeResult, slot);
    return &it->children;
}

// The top level has a row for every function that allocates, far more than any
// level below: its rows are found through a hash map and appended, and put in
// the order of their symbols once all are there.
QVector<RowData> *addTopRow(QVector<RowData> *rows,
                            tsl::robin_map<Symbol, int> *positions,
                            const Location &location,
                            const AllocationData &cost,
                            SymbolGuard *recursionGuard,
                            CallerCalleeResults *callerCalleeResult,
                            EntryCost **slot)
{
    const auto position = positions->insert({location.symbol, rows->size()});
    if (position.second) {
        RowData row;
        row.symbol = location.symbol;
        rows->append(row);
    }
    auto &row = (*rows)[position.first->second];
    row.cost += cost;
    addCallerCalleeEvent(location, cost, recursionGuard, callerCalleeResult, slot);
    return &row.children;
}

void setParents(QVector<RowData> &children, const RowData *parent)
{
    for (auto &row : children) {
        row.parent = parent;
        setParents(row.children, &row);
    }
}

// The top-down tree grows by walks from the outermost caller down, each level
// searched for the walk's next symbol. Wide levels made those searches the bulk
// of the work, so the tree is first built as linked nodes found through a hash
// map, then turned into rows. Siblings keep the order in which they were met.
class TopDownBuilder
{
public:
    static constexpr uint32_t NONE = std::numeric_limits<uint32_t>::max();
    static constexpr uint32_t ROOT = 0;

    TopDownBuilder()
    {
        m_nodes.emplace_back();
    }

    // the child of @p parent for @p symbol, appended after its siblings if new
    uint32_t child(uint32_t parent, const Symbol &symbol)
    {
        const auto candidate = static_cast<uint32_t>(m_nodes.size());
        const auto found = m_lookup.insert({{parent, symbol}, candidate});
        if (!found.second) {
            return found.first->second;
        }
        Node node;
        node.symbol = symbol;
        m_nodes.push_back(node);
        auto &parentNode = m_nodes[parent];
        if (parentNode.lastChild == NONE) {
            parentNode.firstChild = candidate;
        } else {
            m_nodes[parentNode.lastChild].nextSibling = candidate;
        }
        parentNode.lastChild = candidate;
        ++parentNode.childCount;
        return candidate;
    }

    void addCost(uint32_t node, const AllocationData &cost)
    {
        m_nodes[node].cost += cost;
    }

    // once all walks are done: the rows are built without the hash map
    void dropLookup()
    {
        tsl::robin_map<Key, uint32_t, KeyHasher>().swap(m_lookup);
    }

    QVector<RowData> rowsBelow(uint32_t parent) const
    {
        const auto &parentNode = m_nodes[parent];
        QVector<RowData> rows;
        rows.reserve(static_cast<int>(parentNode.childCount));
        for (auto index = parentNode.firstChild; index != NONE; index = m_nodes[index].nextSibling) {
            const auto &node = m_nodes[index];
            RowData row;
            row.cost = node.cost;
            row.symbol = node.symbol;
            row.children = rowsBelow(index);
            rows.append(row);
        }
        return rows;
    }

private:
    struct Node {
        Symbol symbol;
        AllocationData cost;
        uint32_t firstChild = NONE;
        uint32_t lastChild = NONE;
        uint32_t nextSibling = NONE;
        uint32_t childCount = 0;
    };
    struct Key {
        uint32_t parent;
        Symbol symbol;

        bool operator==(const Key &rhs) const
        {
            return parent == rhs.parent && symbol == rhs.symbol;
        }
    };
    struct KeyHasher {
        std::size_t operator()(const Key &key) const
        {
            std::size_t seed = key.parent;
            boost::hash_combine(seed, std::hash<Symbol>()(key.symbol));
            return seed;
        }
    };

    std::vector<Node> m_nodes;
    tsl::robin_map<Key, uint32_t, KeyHasher> m_lookup;
};

AllocationData buildTopDown(const QVector<RowData> &bottomUpData, TopDownBuilder *topDown)
{
    AllocationData totalCost;
    for (const auto &row : bottomUpData) {
        const auto childCost = buildTopDown(row.children, topDown);
        if (childCost != row.cost) {
            // the backtraces that end here: carry their cost down from the outermost caller
            const auto cost = row.cost - childCost;
            auto level = TopDownBuilder::ROOT;
            for (auto *node = &row; node; node = node->parent) {
                level = topDown->child(level, node->symbol);
                topDown->addCost(level, cost);
            }
        }
        totalCost += row.cost;
    }
    return totalCost;
}

// @p path: the entries of the rows above @p bottomUpData, outermost first, as
// far as they were looked up. Each row's walk up to its top row used to look
// up every entry on the way, a hash lookup per row and level; the rows above
// are the same for all rows below them. An entry keeps its node in place as
// the map grows, and the entries are inserted into in the same order as
// before.
AllocationData buildCallerCallee(const QVector<RowData> &bottomUpData,
                                 CallerCalleeResults *callerCalleeResults,
                                 ReusableGuardBuffer *guardBuffer,
                                 std::vector<CallerCalleeEntry *> *path)
{
    AllocationData totalCost;
    const std::size_t depth = path->size();
    path->push_back(nullptr);
    for (const auto &row : bottomUpData) {
        (*path)[depth] = nullptr;
        const auto childCost = buildCallerCallee(row.children, callerCalleeResults, guardBuffer, path);
        if (childCost != row.cost) {
            const auto cost = row.cost - childCost;
            guardBuffer->reset();
            auto &entries = callerCalleeResults->entries;
            CallerCalleeEntry *lastEntry = nullptr;
            Symbol lastSymbol;
            std::size_t level = depth;
            for (auto *node = &row; node; node = node->parent, --level) {
                const auto symbol = node->symbol;
                auto *&known = (*path)[level];
                if (!known) {
                    known = &entries[symbol];
                }
                auto &entry = *known;
                if (guardBuffer->recursionGuard.insert(symbol).second) {
                    entry.inclusiveCost += cost;
                }
                if (!node->parent) {
                    entry.selfCost += cost;
                }
                if (lastEntry && guardBuffer->callerCalleeRecursionGuard.insert({symbol, lastSymbol}).second) {
                    lastEntry->callees[symbol] += cost;
                    entry.callers[lastSymbol] += cost;
                }
                lastEntry = &entry;
                lastSymbol = symbol;
            }
        }
        totalCost += row.cost;
    }
    path->pop_back();
    return totalCost;
}

// The bottom-up rows of @p allocations; without @p callerCalleeResults and
// @p reportProgress nothing but the rows is gathered.
QVector<RowData>
mergeRows(const std::vector<Allocation> &allocations, const ParserData &data, CallerCalleeResults *callerCalleeResults, const ProgressReporter &reportProgress)
{
    QVector<RowData> topRows;
    tsl::robin_set<TraceIndex> traceRecursionGuard;
    traceRecursionGuard.reserve(128);
    SymbolGuard symbolRecursionGuard;
    symbolRecursionGuard.reserve(128);
    tsl::robin_map<Symbol, int> topPositions;
    FrameCostSlots slots(data);

    const auto numAllocations = allocations.size();
    const auto onePercent = std::max<std::size_t>(1, numAllocations / 100);
    std::size_t progress = 0;
    for (const auto &allocation : allocations) {
        ++progress;
        auto traceIndex = allocation.traceIndex;
        auto *rows = &topRows;
        traceRecursionGuard.clear();
        traceRecursionGuard.insert(traceIndex);
        symbolRecursionGuard.clear();
        const AllocationData &cost = allocation;
        while (traceIndex) {
            const auto trace = data.findTrace(traceIndex);
            const auto &ip = data.findIp(trace.ipIndex);
            const Location location = {{ip.frame.functionIndex, ip.moduleIndex}, {ip.frame.fileIndex, ip.frame.line}};
            const auto inlinedFrames = ip.inlined.size();
            auto **slot = slots.slot(trace.ipIndex, 0, inlinedFrames);
            if (rows == &topRows) {
                rows = addTopRow(rows, &topPositions, location, cost, &symbolRecursionGuard, callerCalleeResults, slot);
            } else {
                rows = addRow(rows, location, cost, &symbolRecursionGuard, callerCalleeResults, slot);
            }
            for (std::size_t i = 0; i < inlinedFrames; ++i) {
                const auto &inlined = ip.inlined[i];
                rows = addRow(rows,
                              {{inlined.functionIndex, ip.moduleIndex}, {inlined.fileIndex, inlined.line}},
                              cost,
                              &symbolRecursionGuard,
                              callerCalleeResults,
                              slots.slot(trace.ipIndex, 1 + i, inlinedFrames));
            }
            if (data.isStopIndex(ip.frame.functionIndex)) {
                break;
            }
            traceIndex = trace.parentIndex;
            if (!traceRecursionGuard.insert(traceIndex).second) {
                qCWarning(MEMLOUPE_ANALYSIS) << "Trace recursion detected - corrupt data file?";
                break;
            }
        }
        if (reportProgress && progress % onePercent == 0) {
            reportProgress(i18n("merging allocations... %1%", static_cast<qint64>(progress * 100 / numAllocations)));
        }
    }
    std::sort(topRows.begin(), topRows.end(), [](const RowData &lhs, const RowData &rhs) {
        return lhs.symbol < rhs.symbol;
    });
    setParents(topRows, nullptr);
    return topRows;
}

QVector<RowData> topDownRows(const QVector<RowData> &bottomUpRows)
{
    TopDownBuilder builder;
    buildTopDown(bottomUpRows, &builder);
    builder.dropLookup();
    auto rows = builder.rowsBelow(TopDownBuilder::ROOT);
    setParents(rows, nullptr);
    return rows;
}
}

std::pair<TreeData, CallerCalleeResults>
mergeAllocations(const ProgressReporter &reportProgress, const ParserData &data, const std::shared_ptr<const ResultData> &resultData)
{
    CallerCalleeResults callerCalleeResults;
    TreeData topRows;
    topRows.rows = mergeRows(data.allocations, data, &callerCalleeResults, reportProgress);
    if (data.diffMode) {
        topRows.diffMode = true;
        topRows.baseRows = mergeRows(data.diffBaseAllocations, data, nullptr, {});
    }
    topRows.resultData = resultData;
    return {topRows, callerCalleeResults};
}

TreeData toTopDownData(const TreeData &bottomUpData)
{
    TreeData topRows;
    topRows.resultData = bottomUpData.resultData;
    topRows.diffMode = bottomUpData.diffMode;
    topRows.rows = topDownRows(bottomUpData.rows);
    if (!bottomUpData.baseRows.isEmpty()) {
        topRows.baseRows = topDownRows(bottomUpData.baseRows);
    }
    return topRows;
}

CallerCalleeResults toCallerCalleeData(const TreeData &bottomUpData, CallerCalleeResults callerCalleeResults, bool diffMode)
{
    ReusableGuardBuffer guardBuffer;
    std::vector<CallerCalleeEntry *> path;
    buildCallerCallee(bottomUpData.rows, &callerCalleeResults, &guardBuffer, &path);
    if (diffMode) {
        const AllocationData zero;
        for (auto it = callerCalleeResults.entries.begin(); it != callerCalleeResults.entries.end();) {
            if (it->inclusiveCost == zero && it->selfCost == zero) {
                it = callerCalleeResults.entries.erase(it);
            } else {
                ++it;
            }
        }
    }
    callerCalleeResults.resultData = bottomUpData.resultData;
    callerCalleeResults.order = iteratorsOf(callerCalleeResults.entries);
    return callerCalleeResults;
}
