/* SPDX-FileCopyrightText: 2026 memloupe developers
 SPDX-License-Identifier: GPL-2.0-or-later */

#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct Dwfl;
struct Dwfl_Module;

// One source position of a return address: the function and where in it.
struct SymbolFrame {
    std::string function;
    std::string file; // empty: unknown
    int line = 0;
};

// The symbols of one mapped module (one module record of a stream). Its
// libdwfl session is opened at the first lookup, so that the many libraries a
// program maps but never allocates from cost nothing.
class ModuleSymbols
{
public:
    ModuleSymbols(std::string path, uint64_t bias);
    ~ModuleSymbols();
    ModuleSymbols(const ModuleSymbols &) = delete;
    ModuleSymbols &operator=(const ModuleSymbols &) = delete;

    const std::string &path() const
    {
        return m_path;
    }

    // The frames at a return address, innermost inlined function first and
    // the function that holds the code last; empty when nothing is known.
    void resolve(uint64_t returnAddress, std::vector<SymbolFrame> *frames);

private:
    struct Symbol {
        uint64_t start;
        uint64_t end;
        const char *name; // owned by the Dwfl
    };

    bool load();
    // dwfl_module_addrinfo searches the whole symbol table on every call,
    // far too slow for a large program's thousands of addresses: one sorted
    // copy of the function symbols, searched by bisection.
    const char *symbolAt(uint64_t address);

    std::string m_path;
    uint64_t m_bias;
    bool m_tried = false;
    Dwfl *m_dwfl = nullptr;
    Dwfl_Module *m_module = nullptr;
    bool m_symbolsLoaded = false;
    std::vector<Symbol> m_symbols;
};

// The spelling the analyser expects for names that differ between glibc
// builds or carry compiler-generated decorations.
std::string normalizeFunctionName(std::string name);
// abi::__cxa_demangle, or the name itself if it is not a mangled one.
std::string demangle(const char *name);
