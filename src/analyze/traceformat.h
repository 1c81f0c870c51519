/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#pragma once

// The one definition of the trace file format: what every writer (the
// recorder, the generator, the tests) and the reader agree on. The records
// themselves are described in doc/trace-format.md.

#include <cstdint>
#include <cstring>
#include <string>

namespace TraceFormat
{

// Record types: the first character of every line.
namespace Record
{
constexpr char Version = 'v';
constexpr char Debuggee = 'X';
constexpr char SystemInfo = 'I';
constexpr char String = 's';
constexpr char InstructionPointer = 'i';
constexpr char Trace = 't';
constexpr char AllocationInfo = 'a';
constexpr char Allocation = '+';
constexpr char Deallocation = '-';
constexpr char TimeStamp = 'c';
constexpr char ResidentSetSize = 'R';
constexpr char Attached = 'A';
constexpr char Suppression = 'S';
constexpr char Comment = '#';
}

// The program version this build writes into `v` records and reports in the
// version mismatch message (0x010500 prints as "10500").
constexpr uint32_t ProgramVersion = 0x010500;
// Writers of this program version put no format number into `v`: format 1.
constexpr uint32_t FormatOneProgramVersion = 0x010200;

// File formats: 0 has no `v` record and names blocks by address; 1 and 2 refer
// to `a` records by index; 3 adds length-prefixed strings.
constexpr uint32_t OldestFileFormat = 0;
constexpr uint32_t FirstIndexedFileFormat = 1;
constexpr uint32_t SizedStringsFileFormat = 3;
constexpr uint32_t NewestFileFormat = 3;

// The file name decides the compression, for writing and reading alike.
enum class Compression {
    None,
    Gzip,
    Zstd,
};

inline bool endsWith(const std::string &text, const char *suffix)
{
    const auto length = std::strlen(suffix);
    return text.size() >= length && text.compare(text.size() - length, length, suffix) == 0;
}

// ".gz" -> gzip, ".zst" -> zstd, anything else is plain text.
inline Compression compressionForPath(const std::string &path)
{
    if (endsWith(path, ".gz")) {
        return Compression::Gzip;
    }
    if (endsWith(path, ".zst")) {
        return Compression::Zstd;
    }
    return Compression::None;
}

inline const char *suffixFor(Compression compression)
{
    switch (compression) {
    case Compression::Gzip:
        return ".gz";
    case Compression::Zstd:
        return ".zst";
    case Compression::None:
        break;
    }
    return "";
}

}
