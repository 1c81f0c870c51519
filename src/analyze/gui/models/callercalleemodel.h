/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    Table models of the caller/callee view: the per-function main table and the
    callers, callees and source lines of the selected function.
*/

#pragma once

#include <algorithm>
#include <memory>
#include <utility>

#include <QAbstractTableModel>
#include <QHash>
#include <QMetaType>
#include <QVector>

#include "analyze/gui/analysis/callercalleedata.h"
#include "analyze/gui/analysis/jobqueue.h"
#include "analyze/gui/analysis/resultdata.h"
#include "analyze/gui/models/costcolumns.h"
#include "analyze/gui/models/sortkeys.h"

Q_DECLARE_METATYPE(SymbolCostMap)
Q_DECLARE_METATYPE(LocationCostMap)

// Gives the entries of a QHash row numbers so that a row is reached in constant
// time. The model keeps a shared copy of the hash and never writes to it, so the
// iterators into it stay valid and no entry is copied: the caller/callee table
// of a large trace has tens of thousands of them, each with three hashes of its
// own. ModelImpl is the concrete model; it makes the base of every concrete
// model a type of its own.
template<typename Rows, typename ModelImpl>
class HashModel : public QAbstractTableModel
{
public:
    using Key = typename Rows::key_type;
    using Value = typename Rows::mapped_type;

    explicit HashModel(QObject *parent)
        : QAbstractTableModel(parent)
    {
    }

    ~HashModel() override = default;

    int columnCount(const QModelIndex &parent = QModelIndex()) const final
    {
        if (parent.isValid()) {
            return 0;
        }
        return numColumns();
    }

    int rowCount(const QModelIndex &parent = QModelIndex()) const final
    {
        if (parent.isValid()) {
            return 0;
        }
        return m_rows.size();
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const final
    {
        if (section < 0 || section >= numColumns() || orientation != Qt::Horizontal) {
            return {};
        }
        return headerCell(section, role);
    }

    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const final
    {
        if (!index.isValid() || index.model() != this || !hasIndex(index.row(), index.column(), index.parent())) {
            return {};
        }
        if (role == CostModel::TotalCostRole && index.column() > 0 && index.column() < m_columnMaxima.size()) {
            return static_cast<qint64>(m_columnMaxima.at(index.column()));
        }
        const auto &row = m_rows.at(index.row());
        return cell(index.column(), role, row.key(), row.value());
    }

    // @p order: the iterators of @p rows in their order, if the caller has them
    void setRows(const Rows &rows, const QVector<typename Rows::const_iterator> &order = {})
    {
        beginResetModel();
        auto replaced = std::exchange(m_hash, rows);
        // iterators of this very hash data: a copy written to since has nodes of its own
        const bool ordered = !m_hash.isEmpty() && order.size() == m_hash.size() && order.first() == m_hash.constBegin();
        m_rows = ordered ? order : iteratorsOf(m_hash);
        m_columnMaxima.clear();
        if (scalesToColumnMaximum()) {
            m_columnMaxima.fill(0, numColumns());
            for (const auto &row : qAsConst(m_rows)) {
                for (int column = 1; column < m_columnMaxima.size(); ++column) {
                    const auto cost = cell(column, CostModel::SortRole, row.key(), row.value()).toULongLong();
                    m_columnMaxima[column] = std::max(m_columnMaxima[column], cost);
                }
            }
        }
        endResetModel();
        JobQueue::releaseInBackground(std::move(replaced));
    }

    QModelIndex indexForKey(const Key &key, int column) const
    {
        if (column < 0 || column >= numColumns()) {
            return {};
        }
        for (int row = 0; row < m_rows.size(); ++row) {
            if (m_rows.at(row).key() == key) {
                return index(row, column);
            }
        }
        return {};
    }

    virtual QVariant headerCell(int column, int role) const = 0;
    virtual QVariant cell(int column, int role, const Key &key, const Value &value) const = 0;
    virtual int numColumns() const = 0;
    // In a diff the totals are net sums that single changes dwarf: there the
    // cost bars measure against the largest magnitude in their column instead.
    virtual bool scalesToColumnMaximum() const
    {
        return false;
    }

protected:
    // the rows, in the hash's own order
    QVector<typename Rows::const_iterator> m_rows;

private:
    Rows m_hash;
    // per column, what its bars measure against; empty when that is the total
    QVector<quint64> m_columnMaxima;
};

class CallerCalleeModel : public HashModel<CallerCalleeEntryMap, CallerCalleeModel>, public SortKeySource
{
    Q_OBJECT
public:
    explicit CallerCalleeModel(QObject *parent = nullptr);
    ~CallerCalleeModel() override;

    enum Columns {
        LocationColumn = CostModel::LocationColumn,
        InclusivePeakColumn = CostModel::InclusivePeakColumn,
        InclusiveLeakedColumn = CostModel::InclusiveLeakedColumn,
        InclusiveAllocationsColumn = CostModel::InclusiveAllocationsColumn,
        InclusiveTemporaryColumn = CostModel::InclusiveTemporaryColumn,
        SelfPeakColumn = CostModel::SelfPeakColumn,
        SelfLeakedColumn = CostModel::SelfLeakedColumn,
        SelfAllocationsColumn = CostModel::SelfAllocationsColumn,
        SelfTemporaryColumn = CostModel::SelfTemporaryColumn,
        NUM_COLUMNS = CostModel::NumInclusiveSelfColumns
    };

    enum Roles {
        SortRole = CostModel::SortRole,
        TotalCostRole = CostModel::TotalCostRole,
        CalleesRole = CostModel::FirstModelRole,
        CallersRole,
        SourceMapRole,
        SymbolRole,
        ResultDataRole,
    };

    void setResults(const CallerCalleeResults &results);
    void clearData();
    const CallerCalleeResults &results() const
    {
        return m_results;
    }

    QModelIndex indexForSymbol(const Symbol &symbol) const;

    QVariant headerCell(int column, int role) const final;
    QVariant cell(int column, int role, const Symbol &symbol, const CallerCalleeEntry &entry) const final;
    int numColumns() const final;
    bool scalesToColumnMaximum() const final
    {
        return m_results.resultData && m_results.resultData->isDiff();
    }

    bool costLessThan(const QModelIndex &left, const QModelIndex &right) const override;
    Symbol symbolAt(const QModelIndex &index) const override;
    const ResultData *sortResultData() const override;

private:
    CallerCalleeResults m_results;
    // The sort values of one cost column, by row: a sort compares each row some
    // twenty times, and reading the value out of its entry in the hash each time
    // goes to memory far more often than a short array does.
    mutable int m_sortKeysColumn = -1;
    mutable QVector<quint64> m_sortKeys;
};

template<typename ModelImpl>
class SymbolCostModelImpl : public HashModel<SymbolCostMap, ModelImpl>
{
public:
    explicit SymbolCostModelImpl(QObject *parent)
        : HashModel<SymbolCostMap, ModelImpl>(parent)
    {
    }

    ~SymbolCostModelImpl() override = default;

    enum Columns {
        LocationColumn = CostModel::LocationColumn,
        PeakColumn = CostModel::PeakColumn,
        LeakedColumn = CostModel::LeakedColumn,
        AllocationsColumn = CostModel::AllocationsColumn,
        TemporaryColumn = CostModel::TemporaryColumn,
        NUM_COLUMNS = CostModel::NumColumns
    };

    enum Roles {
        SortRole = CostModel::SortRole,
        TotalCostRole = CostModel::TotalCostRole,
        SymbolRole = CostModel::FirstModelRole,
    };

    void setResults(const SymbolCostMap &map, std::shared_ptr<const ResultData> resultData)
    {
        // the rows are formatted through the result data, so it must be in place before the reset ends
        m_resultData = std::move(resultData);
        this->setRows(map);
    }

    QVariant headerCell(int column, int role) const final;
    QVariant cell(int column, int role, const Symbol &symbol, const AllocationData &costs) const final;

    int numColumns() const final
    {
        return NUM_COLUMNS;
    }

    bool scalesToColumnMaximum() const final
    {
        return m_resultData && m_resultData->isDiff();
    }

    virtual QString symbolHeader() const = 0;

private:
    std::shared_ptr<const ResultData> m_resultData;
};

class CallerModel : public SymbolCostModelImpl<CallerModel>
{
    Q_OBJECT
public:
    explicit CallerModel(QObject *parent = nullptr);
    ~CallerModel() override;

    QString symbolHeader() const final;
};

class CalleeModel : public SymbolCostModelImpl<CalleeModel>
{
    Q_OBJECT
public:
    explicit CalleeModel(QObject *parent = nullptr);
    ~CalleeModel() override;

    QString symbolHeader() const final;
};

template<typename ModelImpl>
class LocationCostModelImpl : public HashModel<LocationCostMap, ModelImpl>
{
public:
    explicit LocationCostModelImpl(QObject *parent)
        : HashModel<LocationCostMap, ModelImpl>(parent)
    {
    }

    ~LocationCostModelImpl() override = default;

    enum Columns {
        LocationColumn = CostModel::LocationColumn,
        InclusivePeakColumn = CostModel::InclusivePeakColumn,
        InclusiveLeakedColumn = CostModel::InclusiveLeakedColumn,
        InclusiveAllocationsColumn = CostModel::InclusiveAllocationsColumn,
        InclusiveTemporaryColumn = CostModel::InclusiveTemporaryColumn,
        SelfPeakColumn = CostModel::SelfPeakColumn,
        SelfLeakedColumn = CostModel::SelfLeakedColumn,
        SelfAllocationsColumn = CostModel::SelfAllocationsColumn,
        SelfTemporaryColumn = CostModel::SelfTemporaryColumn,
        NUM_COLUMNS = CostModel::NumInclusiveSelfColumns
    };

    enum Roles {
        SortRole = CostModel::SortRole,
        TotalCostRole = CostModel::TotalCostRole,
        ResultDataRole = CostModel::FirstModelRole,
        LocationRole,
    };

    void setResults(const LocationCostMap &map, std::shared_ptr<const ResultData> resultData)
    {
        m_resultData = std::move(resultData);
        this->setRows(map);
    }

    QVariant headerCell(int column, int role) const final;
    QVariant cell(int column, int role, const FileLine &location, const EntryCost &costs) const final;

    int numColumns() const final
    {
        return NUM_COLUMNS;
    }

    bool scalesToColumnMaximum() const final
    {
        return m_resultData && m_resultData->isDiff();
    }

private:
    std::shared_ptr<const ResultData> m_resultData;
};

class SourceMapModel : public LocationCostModelImpl<SourceMapModel>
{
    Q_OBJECT
public:
    explicit SourceMapModel(QObject *parent = nullptr);
    ~SourceMapModel() override;
};
