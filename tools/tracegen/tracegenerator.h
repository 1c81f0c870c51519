/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    Synthetic heap traces: a program model (modules, functions, instruction
    pointers, a call-stack tree, allocation sites) built from a seed, and a heap
    event stream over it with temporaries, long-lived blocks and leaks.

    Everything random comes from one fixed generator so that the same options
    give the same bytes on every machine and library version. The heap events
    depend only on the seed and the stack count, never on the file format; only
    their encoding and where a size limit cuts them off do.
*/

#pragma once

#include <cstdint>

class TraceOutput;

constexpr uint32_t MIN_STACKS = 64;
constexpr uint32_t MAX_STACKS = 16 * 1024 * 1024;

struct GeneratorOptions {
    uint64_t seed = 1;
    int format = 3;
    // approximate uncompressed bytes; ignored when allocationLimit is set
    uint64_t sizeLimit = 64 * 1024 * 1024;
    // allocations of the main run (not counting start-up and exit); 0: use sizeLimit
    uint64_t allocationLimit = 0;
    // nodes of the call-stack tree the allocation sites are drawn from
    uint32_t stacks = 16384;
};

// What the generator wrote, by its own bookkeeping, for checking a reader.
struct GeneratorStats {
    uint64_t allocations = 0;
    // frees that directly followed the allocation of the same block
    uint64_t temporary = 0;
    uint64_t leaked = 0;
    uint64_t peak = 0;
    uint64_t traceNodes = 0;
    uint64_t instructionPointers = 0;
    uint64_t strings = 0;
    uint64_t lastTimeStamp = 0;
};

uint32_t defaultStacks(uint64_t sizeLimit);

// Writes one whole trace to @p output; the caller finishes the output.
GeneratorStats generateTrace(const GeneratorOptions &options, TraceOutput &output);
