/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include "analyze/gui/analysis/exports.h"

#include <algorithm>
#include <map>
#include <utility>
#include <vector>

#include <QHash>
#include <QIODevice>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include "analyze/gui/analysis/resultdata.h"
#include "analyze/gui/analysis/util.h"

namespace
{
QString sanitized(QString name)
{
    name.replace(QLatin1Char(';'), QLatin1Char(','));
    name.replace(QLatin1Char('\n'), QLatin1Char(' '));
    name.replace(QLatin1Char('\r'), QLatin1Char(' '));
    return name;
}

QString stackKey(const QStringList &frames)
{
    return frames.join(QLatin1Char(';'));
}

bool writeLine(QIODevice *device, const QString &key, const QVector<int64_t> &costs)
{
    QByteArray line = key.toUtf8();
    for (const auto cost : costs) {
        line += ' ';
        line += QByteArray::number(static_cast<qlonglong>(cost));
    }
    line += '\n';
    return device->write(line) == line.size();
}
}

QString Exports::costName(Cost cost)
{
    switch (cost) {
    case Cost::Peak:
        return QStringLiteral("peak");
    case Cost::Leaked:
        return QStringLiteral("leaked");
    case Cost::Allocations:
        return QStringLiteral("allocations");
    case Cost::Temporary:
        return QStringLiteral("temporary");
    }
    return {};
}

bool Exports::costFromName(const QString &name, Cost *cost)
{
    for (const auto candidate : {Cost::Peak, Cost::Leaked, Cost::Allocations, Cost::Temporary}) {
        if (name == costName(candidate)) {
            *cost = candidate;
            return true;
        }
    }
    return false;
}

int64_t Exports::costValue(const AllocationData &data, Cost cost)
{
    switch (cost) {
    case Cost::Peak:
        return data.peak;
    case Cost::Leaked:
        return data.leaked;
    case Cost::Allocations:
        return data.allocations;
    case Cost::Temporary:
        return data.temporary;
    }
    return 0;
}

QString Exports::frameName(const Symbol &symbol, const ResultData &resultData)
{
    if (!symbol.functionId) {
        return sanitized(Util::toString(symbol, resultData, Util::FormatType::Short));
    }
    return sanitized(resultData.string(symbol.functionId));
}

QVector<Exports::Stack> Exports::collectStacks(const TreeData &tree, TreeDirection direction)
{
    QVector<Stack> stacks;
    if (!tree.resultData) {
        return stacks;
    }
    const ResultData &resultData = *tree.resultData;
    QHash<Symbol, QString> names;
    const auto nameOf = [&](const Symbol &symbol) -> const QString & {
        auto it = names.find(symbol);
        if (it == names.end()) {
            it = names.insert(symbol, frameName(symbol, resultData));
        }
        return it.value();
    };

    // depth first without recursion: a corrupt trace can make a chain as long as the file
    struct Level {
        const QVector<RowData> *rows;
        int next;
    };
    std::vector<Level> levels{{&tree.rows, 0}};
    QStringList path;
    while (!levels.empty()) {
        auto &level = levels.back();
        if (level.next == level.rows->size()) {
            levels.pop_back();
            if (!path.isEmpty()) {
                path.removeLast();
            }
            continue;
        }
        const RowData &row = level.rows->at(level.next++);
        path.append(nameOf(row.symbol));
        // what is not passed on to a child is the cost of the stacks ending at this row
        AllocationData ending = row.cost;
        for (const auto &child : row.children) {
            ending -= child.cost;
        }
        if (ending != AllocationData()) {
            Stack stack;
            stack.frames = path;
            if (direction == TreeDirection::BottomUp) {
                std::reverse(stack.frames.begin(), stack.frames.end());
            }
            stack.cost = ending;
            stacks.append(stack);
        }
        if (row.children.isEmpty()) {
            path.removeLast();
        } else {
            levels.push_back({&row.children, 0});
        }
    }

    // distinct symbols can share a text (one function name in two modules): one stack each
    std::vector<std::pair<QString, int>> keys;
    keys.reserve(static_cast<std::size_t>(stacks.size()));
    for (int i = 0; i < stacks.size(); ++i) {
        keys.emplace_back(stackKey(stacks.at(i).frames), i);
    }
    std::sort(keys.begin(), keys.end());
    QVector<Stack> merged;
    merged.reserve(stacks.size());
    QString lastKey;
    for (const auto &key : keys) {
        if (!merged.isEmpty() && key.first == lastKey) {
            merged.last().cost += stacks.at(key.second).cost;
        } else {
            merged.append(stacks.at(key.second));
            lastKey = key.first;
        }
    }
    return merged;
}

bool Exports::writeFoldedStacks(QIODevice *device, const TreeData &tree, TreeDirection direction, Cost cost)
{
    for (const auto &stack : collectStacks(tree, direction)) {
        const auto value = costValue(stack.cost, cost);
        if (value != 0 && !writeLine(device, stackKey(stack.frames), {value})) {
            return false;
        }
    }
    return true;
}

bool Exports::writeFoldedStacksDiff(QIODevice *device,
                                    const TreeData &base,
                                    TreeDirection baseDirection,
                                    const TreeData &current,
                                    TreeDirection currentDirection,
                                    Cost cost)
{
    std::map<QString, std::pair<int64_t, int64_t>> costs;
    for (const auto &stack : collectStacks(base, baseDirection)) {
        costs[stackKey(stack.frames)].first = costValue(stack.cost, cost);
    }
    for (const auto &stack : collectStacks(current, currentDirection)) {
        costs[stackKey(stack.frames)].second = costValue(stack.cost, cost);
    }
    for (const auto &entry : costs) {
        if ((entry.second.first != 0 || entry.second.second != 0) && !writeLine(device, entry.first, {entry.second.first, entry.second.second})) {
            return false;
        }
    }
    return true;
}

bool Exports::writeSpeedscope(QIODevice *device, const TreeData &tree, TreeDirection direction, const QString &name)
{
    const auto stacks = collectStacks(tree, direction);
    QHash<QString, int> frameIndices;
    QJsonArray frames;
    // frame indices of each stack, outermost first as the viewer wants them
    QVector<QJsonArray> samples;
    samples.reserve(stacks.size());
    for (const auto &stack : stacks) {
        QJsonArray sample;
        for (const auto &frame : stack.frames) {
            auto it = frameIndices.find(frame);
            if (it == frameIndices.end()) {
                it = frameIndices.insert(frame, frames.size());
                frames.append(QJsonObject{{QStringLiteral("name"), frame}});
            }
            sample.append(it.value());
        }
        samples.append(sample);
    }

    struct Profile {
        Cost cost;
        QString title;
        QString unit;
    };
    const Profile profiles[] = {
        {Cost::Peak, QStringLiteral("Peak"), QStringLiteral("bytes")},
        {Cost::Leaked, QStringLiteral("Leaked"), QStringLiteral("bytes")},
        {Cost::Allocations, QStringLiteral("Allocations"), QStringLiteral("none")},
        {Cost::Temporary, QStringLiteral("Temporary Allocations"), QStringLiteral("none")},
    };
    QJsonArray profileArray;
    for (const auto &profile : profiles) {
        QJsonArray profileSamples;
        QJsonArray weights;
        double total = 0;
        for (int i = 0; i < stacks.size(); ++i) {
            const auto value = costValue(stacks.at(i).cost, profile.cost);
            if (value == 0) {
                continue;
            }
            profileSamples.append(samples.at(i));
            weights.append(static_cast<double>(value));
            total += static_cast<double>(value);
        }
        profileArray.append(QJsonObject{
            {QStringLiteral("type"), QStringLiteral("sampled")},
            {QStringLiteral("name"), profile.title},
            {QStringLiteral("unit"), profile.unit},
            {QStringLiteral("startValue"), 0},
            {QStringLiteral("endValue"), total},
            {QStringLiteral("samples"), profileSamples},
            {QStringLiteral("weights"), weights},
        });
    }

    const QJsonObject file{
        {QStringLiteral("$schema"), QStringLiteral("https://www.speedscope.app/file-format-schema.json")},
        {QStringLiteral("name"), name},
        {QStringLiteral("exporter"), QStringLiteral("memloupe")},
        {QStringLiteral("activeProfileIndex"), 0},
        {QStringLiteral("shared"), QJsonObject{{QStringLiteral("frames"), frames}}},
        {QStringLiteral("profiles"), profileArray},
    };
    const auto bytes = QJsonDocument(file).toJson(QJsonDocument::Compact);
    return device->write(bytes) == bytes.size();
}

bool Exports::saveFile(const QString &path, const std::function<bool(QIODevice *)> &write, QString *error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !write(&file) || !file.commit()) {
        *error = file.errorString();
        file.cancelWriting();
        return false;
    }
    return true;
}
