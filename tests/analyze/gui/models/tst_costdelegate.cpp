/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include <QImage>
#include <QPainter>
#include <QProxyStyle>
#include <QRubberBand>
#include <QStandardItemModel>
#include <QStyleFactory>
#include <QStyleOptionRubberBand>
#include <QTest>

#include "analyze/gui/analysis/util.h"
#include "analyze/gui/models/costdelegate.h"
#include "analyze/gui/models/proxystyle.h"

// The style recognises the charts' rubber band by this class name.
class ChartRubberBand : public QRubberBand
{
    Q_OBJECT
public:
    using QRubberBand::QRubberBand;
};

// Some platform styles paint the alternate row background with every item
// rather than once per row.
class ItemAlternateStyle : public QProxyStyle
{
public:
    ItemAlternateStyle()
        : QProxyStyle(QStyleFactory::create(QStringLiteral("Fusion")))
    {
    }

    void drawPrimitive(PrimitiveElement element, const QStyleOption *option, QPainter *painter, const QWidget *widget) const override
    {
        const auto *item = qstyleoption_cast<const QStyleOptionViewItem *>(option);
        if (element == PE_PanelItemViewItem && item && (item->features & QStyleOptionViewItem::Alternate)) {
            painter->fillRect(item->rect, item->palette.brush(QPalette::AlternateBase));
        }
        QProxyStyle::drawPrimitive(element, option, painter, widget);
    }
};

namespace
{
const QRect cellRect(10, 5, 200, 20);

// Paints one cell carrying cost and total under roles 256 and 257 onto a
// transparent image with a margin, so painting outside the cell shows up too.
QImage paintCell(const QVariant &cost, const QVariant &maxCost, QStyleOptionViewItem option, const QString &text = {})
{
    QStandardItemModel model(1, 1);
    model.setData(model.index(0, 0), cost, 256);
    model.setData(model.index(0, 0), maxCost, 257);
    model.setData(model.index(0, 0), text, Qt::DisplayRole);
    CostDelegate delegate(256, 257, nullptr);

    QImage image(cellRect.right() + 11, cellRect.bottom() + 6, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    option.rect = cellRect;
    QPainter painter(&image);
    delegate.paint(&painter, option, model.index(0, 0));
    return image;
}

bool isClose(const QColor &actual, const QColor &expected)
{
    const auto near = [](int a, int b) {
        return std::abs(a - b) <= 2;
    };
    return near(actual.red(), expected.red()) && near(actual.green(), expected.green()) && near(actual.blue(), expected.blue())
        && near(actual.alpha(), expected.alpha());
}
}

class TestCostDelegate : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void barFractionAndColour_data()
    {
        QTest::addColumn<qint64>("cost");
        QTest::addColumn<qint64>("maxCost");
        QTest::addColumn<float>("fraction");
        QTest::addColumn<int>("hue");
        QTest::addColumn<int>("alpha");

        QTest::newRow("nothing") << qint64(0) << qint64(400) << 0.0f << 120 << 0;
        QTest::newRow("quarter, alpha 52.5 truncated") << qint64(100) << qint64(400) << 0.25f << 90 << 52;
        QTest::newRow("half") << qint64(200) << qint64(400) << 0.5f << 60 << 90;
        QTest::newRow("three quarters, alpha 112.5 truncated") << qint64(300) << qint64(400) << 0.75f << 30 << 112;
        QTest::newRow("whole total") << qint64(400) << qint64(400) << 1.0f << 0 << 120;
        QTest::newRow("above total is capped") << qint64(1200) << qint64(400) << 1.0f << 0 << 120;
        QTest::newRow("zero total gives a full bar") << qint64(5) << qint64(0) << 1.0f << 0 << 120;
        QTest::newRow("negative diff cost") << qint64(-100) << qint64(400) << 0.25f << 90 << 52;
        QTest::newRow("beyond 32 bits") << (qint64(1) << 40) << (qint64(1) << 42) << 0.25f << 90 << 52;
    }

    void barFractionAndColour()
    {
        QFETCH(qint64, cost);
        QFETCH(qint64, maxCost);
        QFETCH(float, fraction);
        QFETCH(int, hue);
        QFETCH(int, alpha);

        QCOMPARE(CostDelegate::barFraction(cost, maxCost), fraction);
        const QColor color = CostDelegate::barColor(fraction);
        QCOMPARE(color.hsvHue(), hue);
        QCOMPARE(color.hsvSaturation(), 255);
        QCOMPARE(color.value(), 255);
        QCOMPARE(color.alpha(), alpha);
    }

    void paintedBar_data()
    {
        QTest::addColumn<QVariant>("cost");
        QTest::addColumn<QVariant>("maxCost");
        QTest::addColumn<int>("width");

        QTest::newRow("zero cost") << QVariant(quint64(0)) << QVariant(qint64(100)) << 0;
        QTest::newRow("zero cost and total") << QVariant(quint64(0)) << QVariant(qint64(0)) << 0;
        QTest::newRow("text cell") << QVariant(QStringLiteral("main.cpp:12")) << QVariant() << 0;
        QTest::newRow("whole total") << QVariant(quint64(100)) << QVariant(qint64(100)) << 200;
        QTest::newRow("width truncated") << QVariant(quint64(1)) << QVariant(qint64(3)) << 66;
        QTest::newRow("signed negative cost") << QVariant(qint64(-50)) << QVariant(qint64(100)) << 100;
    }

    void paintedBar()
    {
        QFETCH(QVariant, cost);
        QFETCH(QVariant, maxCost);
        QFETCH(int, width);

        const QImage image = paintCell(cost, maxCost, QStyleOptionViewItem());

        int painted = 0;
        for (int x = 0; x < image.width(); ++x) {
            painted += qAlpha(image.pixel(x, cellRect.center().y())) != 0;
        }
        QCOMPARE(painted, width);
        if (width == 0) {
            return;
        }
        // The bar starts at the cell's left edge and covers exactly the cell's height.
        const QColor expected = CostDelegate::barColor(float(width) / cellRect.width());
        QVERIFY(isClose(image.pixelColor(cellRect.topLeft()), expected));
        QVERIFY(isClose(image.pixelColor(cellRect.left() + width - 1, cellRect.bottom()), expected));
        QCOMPARE(image.pixelColor(cellRect.left() - 1, cellRect.top()).alpha(), 0);
        QCOMPARE(image.pixelColor(cellRect.left(), cellRect.top() - 1).alpha(), 0);
        QCOMPARE(image.pixelColor(cellRect.left(), cellRect.bottom() + 1).alpha(), 0);
    }

    void alternateRowKeepsTheBarVisible_data()
    {
        QTest::addColumn<bool>("itemPaintsAlternate");
        QTest::newRow("default style") << false;
        QTest::newRow("style painting it per item") << true;
    }

    void alternateRowKeepsTheBarVisible()
    {
        QFETCH(bool, itemPaintsAlternate);

        ItemAlternateStyle style;
        QWidget view;
        if (itemPaintsAlternate) {
            view.setStyle(&style);
        }
        const QColor alternate(0, 0, 255);
        QStyleOptionViewItem option;
        option.widget = &view;
        option.features |= QStyleOptionViewItem::Alternate;
        option.palette.setColor(QPalette::AlternateBase, alternate);
        const QImage image = paintCell(quint64(50), qint64(100), option);

        // Beside the half-width bar the row shows the alternate background,
        // under it the bar blended over that background rather than covered by it.
        const int y = cellRect.center().y();
        QCOMPARE(image.pixelColor(cellRect.left() + 100, y), alternate);
        QCOMPARE(image.pixelColor(cellRect.right(), y), alternate);
        const QColor bar = CostDelegate::barColor(0.5f);
        const qreal opacity = bar.alphaF();
        const QColor blended(qRound(bar.red() * opacity), qRound(bar.green() * opacity), qRound(bar.blue() * opacity + 255 * (1 - opacity)));
        QVERIFY(isClose(image.pixelColor(cellRect.left(), y), blended));
        QVERIFY(isClose(image.pixelColor(cellRect.left() + 99, y), blended));
    }

    void textIsPaintedOverTheBar()
    {
        QStyleOptionViewItem option;
        option.palette.setColor(QPalette::Text, Qt::black);
        option.font.setPixelSize(16);
        option.font.setBold(true);
        const QImage image = paintCell(quint64(100), qint64(100), option, QStringLiteral("MMMMMMMM"));

        // Glyph pixels keep the pure text colour only if the text comes after
        // the translucent bar; painted before it, they would be tinted red.
        int textPixels = 0;
        int barPixels = 0;
        for (int y = cellRect.top(); y <= cellRect.bottom(); ++y) {
            for (int x = cellRect.left(); x <= cellRect.right(); ++x) {
                const QColor color = image.pixelColor(x, y);
                textPixels += color == QColor(Qt::black);
                barPixels += isClose(color, CostDelegate::barColor(1.0f));
            }
        }
        QVERIFY(textPixels > 0);
        QVERIFY(barPixels > cellRect.width() * cellRect.height() / 2);
    }

    // Counts in the tables read as they do in the summary and the tooltips;
    // sizes and names keep the text the model gives.
    void countsAreGroupedAsElsewhere()
    {
        const QLocale before;
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        CostDelegate delegate(256, 257);
        QLocale viewLocale;
        viewLocale.setNumberOptions(QLocale::OmitGroupSeparator);
        QCOMPARE(delegate.displayText(QVariant::fromValue<qint64>(1234567), viewLocale), QStringLiteral("1,234,567"));
        QCOMPARE(delegate.displayText(QVariant::fromValue<qint64>(-72444), viewLocale), QStringLiteral("-72,444"));
        QCOMPARE(delegate.displayText(QVariant(12345), viewLocale), Util::formatCount(12345));
        QCOMPARE(delegate.displayText(QVariant(QStringLiteral("1.2MB")), viewLocale), QStringLiteral("1.2MB"));
        QLocale::setDefault(before);
    }

    void proxyStyleDropsTheChartRubberBandMask()
    {
        ProxyStyle style;
        // The default style here masks no rubber band at all; one that does
        // makes the difference observable.
        style.setBaseStyle(QStyleFactory::create(QStringLiteral("Windows")));
        const QStyle *base = style.baseStyle();

        ChartRubberBand chartBand(QRubberBand::Rectangle);
        QRubberBand otherBand(QRubberBand::Rectangle);
        QStyleOptionRubberBand option;
        option.rect = QRect(0, 0, 100, 50);
        option.shape = QRubberBand::Rectangle;
        QStyleHintReturnMask mask;
        const auto maskHint = QStyle::SH_RubberBand_Mask;

        QVERIFY(base->styleHint(maskHint, &option, &otherBand, &mask) != 0);
        QCOMPARE(style.styleHint(maskHint, &option, &chartBand, &mask), 0);
        QCOMPARE(style.styleHint(maskHint, &option, &otherBand, &mask), base->styleHint(maskHint, &option, &otherBand, &mask));
        QCOMPARE(style.styleHint(maskHint, &option, nullptr, &mask), base->styleHint(maskHint, &option, nullptr, &mask));

        // Other hints for the chart's rubber band still come from the base style.
        const int delay = base->styleHint(QStyle::SH_Menu_SubMenuPopupDelay, nullptr, &chartBand);
        QVERIFY(delay != 0);
        QCOMPARE(style.styleHint(QStyle::SH_Menu_SubMenuPopupDelay, nullptr, &chartBand), delay);
    }
};

QTEST_MAIN(TestCostDelegate)

#include "tst_costdelegate.moc"
