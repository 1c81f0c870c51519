/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    Sort and filter proxy of the cost trees and of the caller/callee table.
*/

#pragma once

#include <QSortFilterProxyModel>

class SortKeySource;

class TreeProxy final : public QSortFilterProxyModel
{
    Q_OBJECT
public:
    // @p symbolRole and @p resultDataRole are the roles under which the source
    // model returns a row's Symbol and its const ResultData*.
    TreeProxy(int symbolRole, int resultDataRole, QObject *parent);
    ~TreeProxy() override;

    void setSourceModel(QAbstractItemModel *sourceModel) override;

public Q_SLOTS:
    void setFunctionFilter(const QString &functionFilter);
    void setModuleFilter(const QString &moduleFilter);

private:
    bool filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const override;
    bool lessThan(const QModelIndex &left, const QModelIndex &right) const override;

    // the source, if its rows compare without going through data()
    const SortKeySource *m_sortKeys = nullptr;
    const int m_symbolRole;
    const int m_resultDataRole;
    QString m_functionFilter;
    QString m_moduleFilter;
};
