/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    memloupe_report: the analysis of memloupe without a window, for scripts and
    CI jobs that gate on memory use.
*/

#include <cstdio>
#include <vector>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>

#include <KLocalizedString>

#include "analyze/gui/analysis/analysisrun.h"
#include "analyze/gui/analysis/exports.h"
#include "analyze/gui/report/gates.h"
#include "analyze/gui/report/jsonwriter.h"
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

struct FoldedExport {
    Exports::Cost cost = Exports::Cost::Peak;
    QString path;
};

const auto EXPORT_FOLDED = QLatin1String("--export-folded");

// "--export-folded COST FILE" takes two values, which QCommandLineParser cannot
// express: take them out of the arguments before it sees them.
bool takeFoldedExports(QStringList *arguments, std::vector<FoldedExport> *exports, QString *error)
{
    for (int i = 1; i < arguments->size(); ++i) {
        if (arguments->at(i) == QLatin1String("--")) {
            break;
        }
        if (arguments->at(i) != EXPORT_FOLDED) {
            continue;
        }
        if (i + 2 >= arguments->size()) {
            *error = i18n("--export-folded needs a cost (peak, leaked, allocations or temporary) and a file name.");
            return false;
        }
        FoldedExport folded;
        if (!Exports::costFromName(arguments->at(i + 1), &folded.cost)) {
            *error = i18n("--export-folded: \"%1\" is not a cost; use peak, leaked, allocations or temporary.", arguments->at(i + 1));
            return false;
        }
        folded.path = arguments->at(i + 2);
        exports->push_back(folded);
        arguments->erase(arguments->begin() + i, arguments->begin() + i + 3);
        --i;
    }
    return true;
}

// All or nothing: no half-written file is left behind.
bool writeExport(const QString &path, const std::function<bool(QIODevice *)> &write)
{
    QString error;
    if (!Exports::saveFile(path, write, &error)) {
        printError(i18n("Cannot write %1: %2", path, error));
        return false;
    }
    return true;
}
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("memloupe_report"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.5.0"));
    KLocalizedString::setApplicationDomain("memloupe");

    QCommandLineParser cli;
    cli.setApplicationDescription(
        i18n("Prints the analysis of a memloupe trace file.\n\n"
             "SIZE takes the units the program prints sizes in, powers of 1000: 512 or 512B, 64kB, 1.5MB, 2GB, 1TB "
             "(KiB, MiB, GiB, TiB are powers of 1024). N is a whole number. With --diff every limit bounds the growth "
             "over the base, and may be a percentage of the base's figure (+5%).\n\n"
             "Exit status: 0 when all went well, 1 when a file cannot be read or an export cannot be written, "
             "2 for a usage error, 3 when a limit is exceeded (one line on standard error per limit)."));
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
    const QCommandLineOption maxPeakOption(QStringLiteral("max-peak"),
                                           i18n("Fail (exit status 3) when the peak heap consumption exceeds SIZE."),
                                           QStringLiteral("SIZE"));
    const QCommandLineOption maxLeakedOption(QStringLiteral("max-leaked"), i18n("Fail when the leaked memory exceeds SIZE."), QStringLiteral("SIZE"));
    const QCommandLineOption maxAllocationsOption(QStringLiteral("max-allocations"),
                                                  i18n("Fail when the calls to allocation functions exceed N."),
                                                  QStringLiteral("N"));
    const QCommandLineOption maxTemporaryOption(QStringLiteral("max-temporary"), i18n("Fail when the temporary allocations exceed N."), QStringLiteral("N"));
    // listed for --help only: takeFoldedExports() reads it
    const QCommandLineOption foldedOption(QStringLiteral("export-folded"),
                                          i18n("Write the call stacks with their COST (peak, leaked, allocations or temporary) to FILE as folded "
                                               "stacks; with --diff two columns, base and current. May be given more than once."),
                                          QStringLiteral("COST FILE"));
    const QCommandLineOption speedscopeOption(QStringLiteral("export-speedscope"),
                                              i18n("Write the call stacks to FILE in the speedscope format."),
                                              QStringLiteral("FILE"));
    cli.addOptions({jsonOption,
                    diffOption,
                    suppressionsOption,
                    noEmbeddedOption,
                    noBuiltinOption,
                    minTimeOption,
                    maxTimeOption,
                    maxPeakOption,
                    maxLeakedOption,
                    maxAllocationsOption,
                    maxTemporaryOption,
                    foldedOption,
                    speedscopeOption});
    cli.addPositionalArgument(QStringLiteral("FILE"), i18n("The trace file to analyse."));

    auto arguments = QCoreApplication::arguments();
    std::vector<FoldedExport> foldedExports;
    QString foldedError;
    if (!takeFoldedExports(&arguments, &foldedExports, &foldedError)) {
        printError(foldedError);
        return 2;
    }
    if (!cli.parse(arguments)) {
        printError(cli.errorText());
        return 2;
    }
    if (cli.isSet(QStringLiteral("help"))) {
        cli.showHelp(0);
    }
    if (cli.isSet(QStringLiteral("version"))) {
        cli.showVersion();
    }
    // only "--export-folded=COST" gets here, which would leave FILE to the positional arguments
    if (cli.isSet(foldedOption)) {
        printError(i18n("--export-folded takes its cost and file name as two separate arguments: --export-folded COST FILE."));
        return 2;
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

    const bool diffMode = !diffBase.isEmpty();
    std::vector<Limit> limits;
    bool relativeLimits = false;
    const std::pair<const QCommandLineOption *, Limit::Kind> limitOptions[] = {
        {&maxPeakOption, Limit::Peak},
        {&maxLeakedOption, Limit::Leaked},
        {&maxAllocationsOption, Limit::Allocations},
        {&maxTemporaryOption, Limit::Temporary},
    };
    for (const auto &option : limitOptions) {
        if (!cli.isSet(*option.first)) {
            continue;
        }
        const auto name = option.first->names().constFirst();
        Limit limit;
        QString error;
        if (!parseLimit(option.second, name, cli.value(*option.first), &limit, &error)) {
            printError(error);
            return 2;
        }
        if (limit.relative && !diffMode) {
            printError(i18n("--%1: a percentage bounds the growth over a base and needs --diff.", name));
            return 2;
        }
        relativeLimits = relativeLimits || limit.relative;
        limits.push_back(limit);
    }
    const QString speedscopePath = cli.value(speedscopeOption);
    if (!speedscopePath.isEmpty() && diffMode) {
        printError(i18n("--export-speedscope: a diff has negative costs, which speedscope cannot show; export each file on its own."));
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

    // A diff holds current minus base only: the folded diff's two columns and
    // the base's figures for percentages come from each file on its own.
    AnalysisResults baseAlone;
    AnalysisResults currentAlone;
    if (diffMode && (relativeLimits || !foldedExports.empty())) {
        const auto stopAfter = foldedExports.empty() ? Parser::StopAfter::Summary : Parser::StopAfter::BottomUp;
        Parser baseParser;
        baseAlone = runAnalysis(baseParser, diffBase, QString(), filter, stopAfter);
        if (!foldedExports.empty()) {
            Parser currentParser;
            currentAlone = runAnalysis(currentParser, file, QString(), filter, stopAfter);
        }
        for (const auto *run : {&baseAlone, &currentAlone}) {
            if (run->failed) {
                printError(i18n("Failed to parse file %1.", run->failedPath));
                return 1;
            }
        }
    }

    for (const auto &folded : foldedExports) {
        const bool written = writeExport(folded.path, [&](QIODevice *device) {
            if (diffMode) {
                return Exports::writeFoldedStacksDiff(device,
                                                      baseAlone.bottomUp,
                                                      Exports::TreeDirection::BottomUp,
                                                      currentAlone.bottomUp,
                                                      Exports::TreeDirection::BottomUp,
                                                      folded.cost);
            }
            return Exports::writeFoldedStacks(device, results.bottomUp, Exports::TreeDirection::BottomUp, folded.cost);
        });
        if (!written) {
            return 1;
        }
    }
    if (!speedscopePath.isEmpty()) {
        const bool written = writeExport(speedscopePath, [&](QIODevice *device) {
            return Exports::writeSpeedscope(device, results.bottomUp, Exports::TreeDirection::BottomUp, QFileInfo(file).fileName());
        });
        if (!written) {
            return 1;
        }
    }

    evaluateLimits(&limits, results.summary.cost, baseAlone.summary.cost, diffMode);
    if (cli.isSet(jsonOption)) {
        printJsonReport(stdout, results, file, diffBase, [&](JsonWriter &json) {
            if (!limits.empty()) {
                json.key("limits");
                writeLimitsJson(json, limits, diffMode);
            }
        });
    } else {
        printTextReport(stdout, results);
    }

    const auto violations = limitViolations(limits, diffMode);
    for (const auto &line : violations) {
        printError(line);
    }
    return violations.isEmpty() ? 0 : 3;
}
