/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    Command line of memloupe-tracegen. Plain argv parsing keeps the generator
    free of any toolkit dependency.
*/

#pragma once

#include <cstdint>
#include <string>

#include "tracegenerator.h"

struct Options {
    GeneratorOptions generator;
    std::string output; // empty: standard output
    int level = 0; // 0: the compressor's default for generated data
    bool stats = false;
};

enum class ParseResult {
    Run,
    Help,
    Error,
};

// Decimal byte count with an optional binary suffix K, M, G or T (upper or lower
// case): "4096", "100M", "1G". False on anything else, zero or overflow.
bool parseByteSize(const std::string &text, uint64_t *size);

ParseResult parseArguments(int argc, const char *const *argv, Options *options, std::string *error);

const char *usageText();
