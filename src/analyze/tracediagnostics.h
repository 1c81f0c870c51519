/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#pragma once

// What went wrong while a trace was read, kept as data so that the window and
// the report can tell the user, not only standard error. Filled by the first
// pass of a read (the pass that sees every line); later passes and reparses
// read the same lines again and add nothing.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct TraceDiagnostics {
    enum Kind {
        // a line whose record type the reader does not know
        UnknownRecord,
        // a number with a character that is not a lower-case hex digit
        UnreadableNumber,
        // a record whose fields could not be read ("failed to parse line")
        UnreadableRecord,
        // an unreadable time stamp
        UnreadableTimeStamp,
        // an allocation or deallocation naming an allocation info that does not exist
        IndexOutOfBounds,
        // the compressed input ends in the middle of a frame or stream
        TruncatedInput,
        // the compressed input is damaged (decompression failed)
        CorruptInput,
        NumKinds,
    };

    // How many offending lines are kept per kind, with their line numbers.
    static constexpr std::size_t MaxSamples = 3;

    struct Sample {
        // 1-based line number in the decompressed text
        int64_t lineNumber = 0;
        // the line, cut to a readable length
        std::string line;
    };

    struct Entry {
        int64_t count = 0;
        std::vector<Sample> samples;
    };

    std::array<Entry, NumKinds> entries;
    // distinct lines among the entries: one bad number usually makes its
    // record unreadable too, and that line is still one line
    int64_t lines = 0;
    int64_t lastLineNumber = -1;

    void add(Kind kind, int64_t lineNumber, std::string_view line)
    {
        if (kind != TruncatedInput && kind != CorruptInput && lineNumber != lastLineNumber) {
            ++lines;
            lastLineNumber = lineNumber;
        }
        auto &entry = entries[kind];
        ++entry.count;
        if (entry.samples.size() < MaxSamples) {
            constexpr std::size_t MaxLineLength = 120;
            entry.samples.push_back({lineNumber, std::string(line.substr(0, MaxLineLength))});
        }
    }

    int64_t count(Kind kind) const
    {
        return entries[kind].count;
    }

    // Lines that could not be read; truncation and corruption are about the
    // file, not about lines, and are not part of this figure.
    int64_t unreadableLines() const
    {
        return lines;
    }

    bool empty() const
    {
        for (const auto &entry : entries) {
            if (entry.count != 0) {
                return false;
            }
        }
        return true;
    }

    void clear()
    {
        entries = {};
        lines = 0;
        lastLineNumber = -1;
    }

    // The key of a kind in the report's JSON.
    static const char *key(Kind kind)
    {
        switch (kind) {
        case UnknownRecord:
            return "unknownRecords";
        case UnreadableNumber:
            return "unreadableNumbers";
        case UnreadableRecord:
            return "unreadableRecords";
        case UnreadableTimeStamp:
            return "unreadableTimeStamps";
        case IndexOutOfBounds:
            return "indicesOutOfBounds";
        case TruncatedInput:
            return "truncatedInput";
        case CorruptInput:
            return "corruptInput";
        case NumKinds:
            break;
        }
        return "";
    }
};
