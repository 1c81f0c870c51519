/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include "options.h"

#include <cstring>
#include <limits>

#include "traceoutput.h"

namespace
{
bool parseUnsigned(const std::string &text, uint64_t *value)
{
    if (text.empty()) {
        return false;
    }
    uint64_t result = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        const auto digit = static_cast<uint64_t>(c - '0');
        if (result > (std::numeric_limits<uint64_t>::max() - digit) / 10) {
            return false;
        }
        result = result * 10 + digit;
    }
    *value = result;
    return true;
}

bool parseInt(const std::string &text, int *value)
{
    const bool negative = !text.empty() && text.front() == '-';
    uint64_t magnitude = 0;
    if (!parseUnsigned(negative ? text.substr(1) : text, &magnitude) || magnitude > 1000) {
        return false;
    }
    *value = negative ? -static_cast<int>(magnitude) : static_cast<int>(magnitude);
    return true;
}
}

bool parseByteSize(const std::string &text, uint64_t *size)
{
    std::string digits = text;
    unsigned shift = 0;
    if (!digits.empty()) {
        switch (digits.back()) {
        case 'k':
        case 'K':
            shift = 10;
            break;
        case 'm':
        case 'M':
            shift = 20;
            break;
        case 'g':
        case 'G':
            shift = 30;
            break;
        case 't':
        case 'T':
            shift = 40;
            break;
        default:
            break;
        }
        if (shift) {
            digits.pop_back();
        }
    }
    uint64_t value = 0;
    if (!parseUnsigned(digits, &value) || value == 0 || value > (std::numeric_limits<uint64_t>::max() >> shift)) {
        return false;
    }
    *size = value << shift;
    return true;
}

const char *usageText()
{
    return "Usage: memloupe-tracegen [options]\n"
           "Writes a synthetic heap trace, the same bytes for the same options.\n"
           "\n"
           "  --seed N          random seed (default 1)\n"
           "  --size BYTES      approximate uncompressed size: 4096, 100M, 1G (default 64M)\n"
           "  --allocations N   stop after N allocations instead of at a size; the heap\n"
           "                    events then do not depend on --format\n"
           "  --format F        file format 0, 1, 2 or 3 (default 3)\n"
           "  --stacks N        call-stack tree nodes to draw from (default: size / 4096,\n"
           "                    at least 4096 and at most 262144)\n"
           "  --output FILE     output file; .gz writes gzip, .zst zstd, anything else\n"
           "                    plain text (default: plain text on standard output)\n"
           "  --level L         compression level (default 1)\n"
           "  --stats           print the generated totals to standard error\n"
           "  --help            this text\n";
}

ParseResult parseArguments(int argc, const char *const *argv, Options *options, std::string *error)
{
    bool stacksGiven = false;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        std::string value;
        bool hasValue = false;
        const auto equals = name.find('=');
        if (name.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.resize(equals);
            hasValue = true;
        }

        if (name == "--help" || name == "-h") {
            return ParseResult::Help;
        }
        if (name == "--stats") {
            if (hasValue) {
                *error = "--stats takes no value";
                return ParseResult::Error;
            }
            options->stats = true;
            continue;
        }

        const bool known = name == "--seed" || name == "--size" || name == "--allocations" || name == "--format" || name == "--stacks" || name == "--output"
            || name == "--level";
        if (!known) {
            *error = "unknown option " + name;
            return ParseResult::Error;
        }
        if (!hasValue) {
            if (i + 1 >= argc) {
                *error = name + " needs a value";
                return ParseResult::Error;
            }
            value = argv[++i];
        }

        const std::string invalid = "invalid value for " + name + ": " + value;
        uint64_t number = 0;
        if (name == "--seed") {
            if (!parseUnsigned(value, &options->generator.seed)) {
                *error = invalid;
                return ParseResult::Error;
            }
        } else if (name == "--size") {
            if (!parseByteSize(value, &options->generator.sizeLimit)) {
                *error = invalid;
                return ParseResult::Error;
            }
        } else if (name == "--allocations") {
            if (!parseUnsigned(value, &number) || number == 0) {
                *error = invalid;
                return ParseResult::Error;
            }
            options->generator.allocationLimit = number;
        } else if (name == "--format") {
            if (!parseUnsigned(value, &number) || number > 3) {
                *error = invalid;
                return ParseResult::Error;
            }
            options->generator.format = static_cast<int>(number);
        } else if (name == "--stacks") {
            if (!parseUnsigned(value, &number) || number < MIN_STACKS || number > MAX_STACKS) {
                *error = invalid + " (allowed: " + std::to_string(MIN_STACKS) + " to " + std::to_string(MAX_STACKS) + ")";
                return ParseResult::Error;
            }
            options->generator.stacks = static_cast<uint32_t>(number);
            stacksGiven = true;
        } else if (name == "--output") {
            if (value.empty()) {
                *error = invalid;
                return ParseResult::Error;
            }
            options->output = value;
        } else if (name == "--level") {
            if (!parseInt(value, &options->level) || options->level == 0) {
                *error = invalid;
                return ParseResult::Error;
            }
        }
    }

    if (options->level != 0 && compressionForPath(options->output) == OutputCompression::None) {
        *error = "--level needs a .gz or .zst output file";
        return ParseResult::Error;
    }
    if (!stacksGiven) {
        options->generator.stacks = defaultStacks(options->generator.sizeLimit);
    }
    return ParseResult::Run;
}
