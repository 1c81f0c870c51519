/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    Helpers of the analysis tests: reading a hand-written trace into a
    ParserData the way the analysis job does, the string table as the views see
    it, symbol lookup by name, and a main function that pins the language and
    locale so that translated texts and numbers are the source texts.
*/

#pragma once

#include <algorithm>
#include <memory>
#include <string>

#include <QCoreApplication>
#include <QLocale>
#include <QString>
#include <QTemporaryDir>
#include <QTest>
#include <QVector>

#include "analyze/gui/analysis/locationdata.h"
#include "analyze/gui/analysis/parserdata.h"
#include "analyze/gui/analysis/resultdata.h"

#include "testutils.h"

namespace AnalysisTest
{
using ::cost;
using ::hex;

// Writes @p text into @p dir and runs the first and second pass on it.
inline bool readTrace(ParserData *data, const QTemporaryDir &dir, const QString &name, const std::string &text)
{
    const auto path = dir.filePath(name).toStdString();
    if (!writeTraceFile(path, text, Compression::None)) {
        return false;
    }
    return data->read(path, false);
}

inline std::shared_ptr<const ResultData> resultDataFor(const ParserData &data)
{
    QVector<QString> strings;
    strings.reserve(static_cast<int>(data.strings.size()));
    for (const auto &string : data.strings) {
        strings.append(QString::fromUtf8(string.data(), static_cast<int>(string.size())));
    }
    return std::make_shared<const ResultData>(data.totalCost, strings);
}

// The 1-based index of the first string equal to @p text, 0 when there is none.
inline uint32_t stringIndex(const ParserData &data, const std::string &text)
{
    const auto it = std::find(data.strings.begin(), data.strings.end(), text);
    return it == data.strings.end() ? 0 : static_cast<uint32_t>(it - data.strings.begin() + 1);
}

// The symbol of @p function in @p module, both looked up by name.
inline Symbol symbolFor(const ParserData &data, const std::string &function, const std::string &module)
{
    Symbol symbol;
    symbol.functionId.index = stringIndex(data, function);
    symbol.moduleId.index = stringIndex(data, module);
    return symbol;
}

inline QString functionName(const ResultData &resultData, const Symbol &symbol)
{
    return resultData.string(symbol.functionId);
}
}

// Texts are compared with their untranslated source and numbers in the C
// locale; both have to be fixed before the first translation or byte
// formatter is created.
#define MEMLOUPE_ANALYSIS_TEST_MAIN(TestClass)                                                                                                                 \
    int main(int argc, char **argv)                                                                                                                            \
    {                                                                                                                                                          \
        qputenv("LANGUAGE", "C");                                                                                                                              \
        qputenv("LC_ALL", "C");                                                                                                                                \
        QLocale::setDefault(QLocale::c());                                                                                                                     \
        QCoreApplication app(argc, argv);                                                                                                                      \
        TestClass test;                                                                                                                                        \
        QTEST_SET_MAIN_SOURCE_PATH                                                                                                                             \
        return QTest::qExec(&test, argc, argv);                                                                                                                \
    }
