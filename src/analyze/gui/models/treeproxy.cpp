/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include "analyze/gui/models/treeproxy.h"

#include "analyze/gui/analysis/locationdata.h"
#include "analyze/gui/analysis/resultdata.h"
#include "analyze/gui/analysis/util.h"
#include "analyze/gui/models/sortkeys.h"
#include "analyze/gui/models/treemodel.h"

namespace
{
bool locationLessThan(const Symbol &left, const Symbol &right, const ResultData &resultData)
{
    if (left.functionId != right.functionId) {
        return resultData.string(left.functionId) < resultData.string(right.functionId);
    }
    // the same function in several binaries: order by the binary's file name
    return Util::basename(resultData.string(static_cast<StringIndex>(left.moduleId)))
        < Util::basename(resultData.string(static_cast<StringIndex>(right.moduleId)));
}
}

TreeProxy::TreeProxy(int symbolRole, int resultDataRole, QObject *parent)
    : QSortFilterProxyModel(parent)
    , m_symbolRole(symbolRole)
    , m_resultDataRole(resultDataRole)
{
    // a matching caller deep down keeps the whole path to it visible
    setRecursiveFilteringEnabled(true);
    setSortLocaleAware(false);
}

TreeProxy::~TreeProxy() = default;

void TreeProxy::setSourceModel(QAbstractItemModel *sourceModel)
{
    m_sortKeys = dynamic_cast<const SortKeySource *>(sourceModel);
    QSortFilterProxyModel::setSourceModel(sourceModel);
}

void TreeProxy::setFunctionFilter(const QString &functionFilter)
{
    m_functionFilter = functionFilter;
    invalidate();
}

void TreeProxy::setModuleFilter(const QString &moduleFilter)
{
    m_moduleFilter = moduleFilter;
    invalidate();
}

bool TreeProxy::filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const
{
    const auto *source = sourceModel();
    if (!source) {
        return false;
    }
    if (m_functionFilter.isEmpty() && m_moduleFilter.isEmpty()) {
        return true;
    }

    const auto index = source->index(sourceRow, 0, sourceParent);
    const auto *resultData = index.data(m_resultDataRole).value<const ResultData *>();
    const auto symbol = index.data(m_symbolRole).value<Symbol>();
    // without a string table every name is empty and no filter text can match
    const auto lookup = [resultData](StringIndex stringIndex) {
        return resultData ? resultData->string(stringIndex) : QString();
    };

    if (!m_functionFilter.isEmpty() && !lookup(static_cast<StringIndex>(symbol.functionId)).contains(m_functionFilter, Qt::CaseInsensitive)) {
        return false;
    }
    if (m_moduleFilter.isEmpty()) {
        return true;
    }
    return lookup(static_cast<StringIndex>(symbol.moduleId)).contains(m_moduleFilter, Qt::CaseInsensitive);
}

bool TreeProxy::lessThan(const QModelIndex &left, const QModelIndex &right) const
{
    // the same comparisons as below, straight from the model's rows
    if (m_sortKeys && sortRole() == SortKeySource::SortRole) {
        if (sortColumn() != 0) {
            return m_sortKeys->costLessThan(left, right);
        }
        if (const auto *resultData = m_sortKeys->sortResultData()) {
            return locationLessThan(m_sortKeys->symbolAt(left), m_sortKeys->symbolAt(right), *resultData);
        }
        return QSortFilterProxyModel::lessThan(left, right);
    }

    if (sortColumn() != 0) {
        return QSortFilterProxyModel::lessThan(left, right);
    }
    const auto *resultData = left.data(m_resultDataRole).value<const ResultData *>();
    if (!resultData) {
        return QSortFilterProxyModel::lessThan(left, right);
    }
    return locationLessThan(left.data(m_symbolRole).value<Symbol>(), right.data(m_symbolRole).value<Symbol>(), *resultData);
}
