/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    memloupe_report: the analysis of memloupe without a window, for scripts and
    CI jobs that gate on memory use.
*/

#include <cstdio>

#include <QCommandLineParser>
#include <QCoreApplication>

#include <KLocalizedString>

#include "analyze/gui/analysis/analysisrun.h"
#include "analyze/gui/report/reportprinter.h"

namespace
{
bool parseTime(const QString &text, int64_t *time)
{
    bool ok = false;
    *time = text.toLongLong(&ok);
    return ok;
}

void printError(const QString &message)
{
    const auto utf8 = message.toUtf8();
    fprintf(stderr, "%s\n", utf8.constData());
    fflush(stderr);
}
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("memloupe_report"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.5.0"));
    KLocalizedString::setApplicationDomain("memloupe");

    QCommandLineParser cli;
    cli.setApplicationDescription(i18n("Prints the analysis of a memloupe trace file."));
    cli.addHelpOption();
    cli.addVersionOption();
    const QCommandLineOption jsonOption(QStringLiteral("json"), i18n("Print one JSON document."));
    const QCommandLineOption diffOption({QStringLiteral("d"), QStringLiteral("diff")}, i18n("Subtract the costs of this base file."), QStringLiteral("BASE"));
    const QCommandLineOption suppressionsOption({QStringLiteral("s"), QStringLiteral("suppressions")},
                                                i18n("Read leak suppressions from this file."),
                                                QStringLiteral("FILE"));
    const QCommandLineOption noEmbeddedOption(QStringLiteral("disable-embedded-suppressions"), i18n("Ignore suppressions embedded in the trace."));
    const QCommandLineOption noBuiltinOption(QStringLiteral("disable-builtin-suppressions"), i18n("Ignore the built-in suppressions."));
    const QCommandLineOption minTimeOption(QStringLiteral("min-time"), i18n("Start of the time range in ms."), QStringLiteral("MS"));
    const QCommandLineOption maxTimeOption(QStringLiteral("max-time"), i18n("End of the time range in ms."), QStringLiteral("MS"));
    cli.addOptions({jsonOption, diffOption, suppressionsOption, noEmbeddedOption, noBuiltinOption, minTimeOption, maxTimeOption});
    cli.addPositionalArgument(QStringLiteral("FILE"), i18n("The trace file to analyse."));

    if (!cli.parse(QCoreApplication::arguments())) {
        printError(cli.errorText());
        return 2;
    }
    if (cli.isSet(QStringLiteral("help"))) {
        cli.showHelp(0);
    }
    if (cli.isSet(QStringLiteral("version"))) {
        cli.showVersion();
    }
    const auto positional = cli.positionalArguments();
    if (positional.size() != 1) {
        printError(i18n("Exactly one trace file must be given."));
        return 2;
    }
    const QString file = positional.first();
    const QString diffBase = cli.value(diffOption);

    FilterParameters window;
    const bool hasMinTime = cli.isSet(minTimeOption);
    const bool hasMaxTime = cli.isSet(maxTimeOption);
    if ((hasMinTime && !parseTime(cli.value(minTimeOption), &window.minTime)) || (hasMaxTime && !parseTime(cli.value(maxTimeOption), &window.maxTime))) {
        printError(i18n("A time must be a whole number of milliseconds."));
        return 2;
    }
    if (window.minTime > window.maxTime) {
        printError(i18n("--min-time must not be above --max-time."));
        return 2;
    }
    const bool hasWindow = hasMinTime || hasMaxTime;
    if (hasWindow && !diffBase.isEmpty()) {
        printError(i18n("A diff is never analysed for a time range."));
        return 2;
    }

    FilterParameters filter;
    bool suppressionsOk = true;
    filter.suppressions = parseSuppressions(cli.value(suppressionsOption).toStdString(), &suppressionsOk);
    if (!suppressionsOk) {
        printError(i18n("Failed to parse suppression file."));
        return 1;
    }
    filter.disableEmbeddedSuppressions = cli.isSet(noEmbeddedOption);
    filter.disableBuiltinSuppressions = cli.isSet(noBuiltinOption);
    window.suppressions = filter.suppressions;
    window.disableEmbeddedSuppressions = filter.disableEmbeddedSuppressions;
    window.disableBuiltinSuppressions = filter.disableBuiltinSuppressions;

    Parser parser;
    AnalysisResults results = runAnalysis(parser, file, diffBase, filter);
    if (results.finished && hasWindow) {
        // exactly what the window does for a selected range: re-run the analysis restricted to it
        results = rerunAnalysis(parser, window);
    }
    if (results.failed) {
        printError(i18n("Failed to parse file %1.", results.failedPath));
        return 1;
    }

    if (cli.isSet(jsonOption)) {
        printJsonReport(stdout, results, file, diffBase);
    } else {
        printTextReport(stdout, results);
    }
    return 0;
}
