/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include "analyze/gui/widgets/histogramwidget.h"
#include "analyze/gui/widgets/countaxis.h"

#include <KChartBarDiagram>
#include <KChartCartesianAxis>
#include <KChartCartesianCoordinatePlane>
#include <KChartChart>
#include <KChartTextAttributes>

#include <KColorScheme>
#include <KLocalizedString>

#include <QSortFilterProxyModel>
#include <QVBoxLayout>

namespace
{
// Column 0 of the histogram model is the class total, the others are functions;
// the two go into separate diagrams so that the total is not stacked on top of
// its own parts.
class HistogramProxy : public QSortFilterProxyModel
{
public:
    HistogramProxy(bool showTotal, QObject *parent)
        : QSortFilterProxyModel(parent)
        , m_showTotal(showTotal)
    {
    }

protected:
    bool filterAcceptsColumn(int sourceColumn, const QModelIndex & /*sourceParent*/) const override
    {
        return m_showTotal == (sourceColumn == 0);
    }

private:
    const bool m_showTotal;
};

KChart::CartesianAxis *createAxis(KChart::CartesianAxis *axis, KChart::CartesianAxis::Position position, const QString &title, const QColor &foreground)
{
    auto labels = axis->textAttributes();
    labels.setPen(QPen(foreground));
    axis->setTextAttributes(labels);
    auto titleText = axis->titleTextAttributes();
    titleText.setPen(QPen(foreground));
    axis->setTitleTextAttributes(titleText);
    axis->setTitleText(title);
    axis->setPosition(position);
    return axis;
}
}

HistogramWidget::HistogramWidget(QWidget *parent)
    : QWidget(parent)
    , m_chart(new KChart::Chart(this))
    // the coordinate plane takes over the diagrams and deletes them with the chart
    , m_total(new KChart::BarDiagram)
    , m_detailed(new KChart::BarDiagram)
{
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_chart);

    const KColorScheme scheme(QPalette::Active, KColorScheme::Window);
    const QColor foreground = scheme.foreground(KColorScheme::NormalText).color();

    m_total->setAntiAliasing(true);
    m_total->addAxis(createAxis(new KChart::CartesianAxis(m_total), KChart::CartesianAxis::Bottom, i18n("Requested Allocation Size"), foreground));
    m_total->addAxis(createAxis(new CountAxis(m_total), KChart::CartesianAxis::Right, i18n("Number of Allocations"), foreground));

    auto *plane = m_chart->coordinatePlane();
    plane->addDiagram(m_total);
    m_total->setType(KChart::BarDiagram::Normal);

    m_detailed->setAntiAliasing(true);
    plane->addDiagram(m_detailed);
    m_detailed->setType(KChart::BarDiagram::Stacked);
}

HistogramWidget::~HistogramWidget() = default;

void HistogramWidget::setModel(QAbstractItemModel *model)
{
    auto *total = new HistogramProxy(true, this);
    total->setSourceModel(model);
    m_total->setModel(total);

    auto *detailed = new HistogramProxy(false, this);
    detailed->setSourceModel(model);
    m_detailed->setModel(detailed);
}
