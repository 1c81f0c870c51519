/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    memloupe-tracegen: writes synthetic heap traces for benchmarks and tests of
    the reader. See usageText() for the command line.
*/

#include <cinttypes>
#include <cstdio>

#include "options.h"
#include "tracegenerator.h"
#include "traceoutput.h"

int main(int argc, char **argv)
{
    Options options;
    std::string error;
    switch (parseArguments(argc, argv, &options, &error)) {
    case ParseResult::Help:
        std::fputs(usageText(), stdout);
        return 0;
    case ParseResult::Error:
        std::fprintf(stderr, "memloupe-tracegen: %s\n%s", error.c_str(), usageText());
        return 2;
    case ParseResult::Run:
        break;
    }

    auto sink = openOutputSink(options.output, options.level, &error);
    if (!sink) {
        std::fprintf(stderr, "memloupe-tracegen: %s\n", error.c_str());
        return 1;
    }
    TraceOutput output(sink.get());
    const GeneratorStats stats = generateTrace(options.generator, output);
    const uint64_t bytes = output.written();
    if (!output.finish()) {
        std::fprintf(stderr, "memloupe-tracegen: %s\n", sink->errorString().c_str());
        return 1;
    }

    if (options.stats) {
        std::fprintf(stderr,
                     "bytes %" PRIu64 "\nallocations %" PRIu64 "\ntemporary %" PRIu64 "\nleaked %" PRIu64 "\npeak %" PRIu64 "\ntraces %" PRIu64 "\nips %" PRIu64
                     "\nstrings %" PRIu64 "\nlast time stamp %" PRIu64 "\n",
                     bytes,
                     stats.allocations,
                     stats.temporary,
                     stats.leaked,
                     stats.peak,
                     stats.traceNodes,
                     stats.instructionPointers,
                     stats.strings,
                     stats.lastTimeStamp);
    }
    return 0;
}
