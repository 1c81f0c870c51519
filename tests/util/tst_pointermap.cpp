/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include <QTest>

#include "util/pointermap.h"

namespace
{
AllocationInfoIndex infoIndex(uint32_t value)
{
    AllocationInfoIndex index;
    index.index = value;
    return index;
}

TraceIndex traceIndex(uint32_t value)
{
    TraceIndex index;
    index.index = value;
    return index;
}

std::vector<uint32_t> values(const std::vector<AllocationInfoIndex> &indices)
{
    std::vector<uint32_t> ret;
    for (auto index : indices) {
        ret.push_back(index.index);
    }
    return ret;
}
}

class TestPointerMap : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void testSplitAtDivisorBoundary()
    {
        const PointerMap::SplitPointer below(16382);
        QCOMPARE(below.big, uint64_t(0));
        QCOMPARE(below.small, uint16_t(16382));
        const PointerMap::SplitPointer at(16383);
        QCOMPARE(at.big, uint64_t(1));
        QCOMPARE(at.small, uint16_t(0));

        // the largest address must still decompose exactly
        const uint64_t huge = std::numeric_limits<uint64_t>::max();
        const PointerMap::SplitPointer top(huge);
        QVERIFY(top.small < 16383);
        QCOMPARE(top.big * 16383 + top.small, huge);

        PointerMap map;
        map.addPointer(16382, infoIndex(1));
        map.addPointer(16383, infoIndex(2));
        QCOMPARE(map.map.size(), std::size_t(2));
        QCOMPARE(map.map.at(0).smallPtrParts, std::vector<uint16_t>({16382}));
        QCOMPARE(map.map.at(1).smallPtrParts, std::vector<uint16_t>({0}));

        auto taken = map.takePointer(16383);
        QVERIFY(taken.second);
        QCOMPARE(taken.first.index, 2u);
        taken = map.takePointer(16382);
        QVERIFY(taken.second);
        QCOMPARE(taken.first.index, 1u);
        QVERIFY(map.map.empty());
    }

    void testLowPartsStaySorted()
    {
        PointerMap map;
        const uint64_t base = 7 * 16383;
        map.addPointer(base + 5, infoIndex(50));
        map.addPointer(base + 3, infoIndex(30));
        map.addPointer(base + 4, infoIndex(40));
        QCOMPARE(map.map.size(), std::size_t(1));
        const auto &indices = map.map.at(7);
        QCOMPARE(indices.smallPtrParts, std::vector<uint16_t>({3, 4, 5}));
        QCOMPARE(values(indices.allocationIndices), std::vector<uint32_t>({30, 40, 50}));

        // removing from the middle keeps both vectors aligned
        auto taken = map.takePointer(base + 4);
        QVERIFY(taken.second);
        QCOMPARE(taken.first.index, 40u);
        QCOMPARE(map.map.at(7).smallPtrParts, std::vector<uint16_t>({3, 5}));
        QCOMPARE(values(map.map.at(7).allocationIndices), std::vector<uint32_t>({30, 50}));
        QCOMPARE(map.takePointer(base + 5).first.index, 50u);
        QCOMPARE(map.takePointer(base + 3).first.index, 30u);
    }

    void testTake()
    {
        PointerMap map;
        QVERIFY(!map.takePointer(0x1234).second);

        map.addPointer(0x1234, infoIndex(0));
        map.addPointer(0x1238, infoIndex(3));
        // same record, low part not present
        QVERIFY(!map.takePointer(0x1236).second);

        auto taken = map.takePointer(0x1234);
        QVERIFY(taken.second);
        QCOMPARE(taken.first.index, 0u);
        QVERIFY(!map.takePointer(0x1234).second);
        QCOMPARE(map.map.size(), std::size_t(1));

        // the last address of a record takes the record with it
        QVERIFY(map.takePointer(0x1238).second);
        QVERIFY(map.map.empty());
        QVERIFY(!map.takePointer(0x1238).second);
    }

    void testAddSameAddressTwice()
    {
        PointerMap map;
        map.addPointer(0xdead0, infoIndex(1));
        map.addPointer(0xdead0, infoIndex(2));
        QCOMPARE(map.map.begin()->second.smallPtrParts.size(), std::size_t(1));

        const auto taken = map.takePointer(0xdead0);
        QVERIFY(taken.second);
        QCOMPARE(taken.first.index, 2u);
        QVERIFY(!map.takePointer(0xdead0).second);
        QVERIFY(map.map.empty());
    }

    void testManyAddresses()
    {
        // spread over many records and inserted out of order, as a real heap would
        PointerMap map;
        std::vector<uint64_t> addresses;
        for (uint64_t i = 0; i < 5000; ++i) {
            addresses.push_back(((i * 7919) % 5000) * 24 + 0x10000);
        }
        for (std::size_t i = 0; i < addresses.size(); ++i) {
            map.addPointer(addresses[i], infoIndex(static_cast<uint32_t>(i)));
        }
        for (const auto &record : map.map) {
            const auto &parts = record.second.smallPtrParts;
            QVERIFY(std::is_sorted(parts.begin(), parts.end()));
            QCOMPARE(record.second.allocationIndices.size(), parts.size());
        }
        // every other one first, so records shrink from the middle before they empty
        for (std::size_t start : {0, 1}) {
            for (std::size_t i = start; i < addresses.size(); i += 2) {
                const auto taken = map.takePointer(addresses[i]);
                QVERIFY(taken.second);
                QCOMPARE(taken.first.index, static_cast<uint32_t>(i));
            }
        }
        QVERIFY(map.map.empty());
    }

    void testAllocationInfoSet()
    {
        AllocationInfoSet set;
        AllocationInfoIndex index = infoIndex(99);
        QVERIFY(set.add(16, traceIndex(3), &index));
        QCOMPARE(index.index, 0u);
        QVERIFY(set.add(32, traceIndex(3), &index));
        QCOMPARE(index.index, 1u);
        QVERIFY(!set.add(16, traceIndex(3), &index));
        QCOMPARE(index.index, 0u);

        // the trace index is part of the key, and trace 0 is a valid one
        QVERIFY(set.add(16, traceIndex(4), &index));
        QCOMPARE(index.index, 2u);
        QVERIFY(set.add(16, traceIndex(0), &index));
        QCOMPARE(index.index, 3u);
        QVERIFY(!set.add(32, traceIndex(3), &index));
        QCOMPARE(index.index, 1u);
        QVERIFY(!set.add(16, traceIndex(0), &index));
        QCOMPARE(index.index, 3u);
        QCOMPARE(set.set.size(), std::size_t(4));
    }
};

QTEST_GUILESS_MAIN(TestPointerMap)

#include "tst_pointermap.moc"
