/* SPDX-FileCopyrightText: 2026 memloupe developers
 SPDX-License-Identifier: GPL-2.0-or-later */

#include "launcher/symbolizer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>

#include <dwarf.h>
#include <elfutils/libdw.h>
#include <elfutils/libdwfl.h>

namespace
{
char *debugInfoPath = nullptr;

const Dwfl_Callbacks callbacks = {
    dwfl_build_id_find_elf,
    dwfl_standard_find_debuginfo, // the file's own sections, debuglink, /usr/lib/debug/.build-id
    dwfl_offline_section_address,
    &debugInfoPath,
};

const char *attributeString(Dwarf_Die *die, int name)
{
    Dwarf_Attribute attribute;
    // follows DW_AT_abstract_origin and DW_AT_specification, where inlined
    // instances and out-of-class definitions keep their names
    return dwarf_formstring(dwarf_attr_integrate(die, name, &attribute));
}

// The namespaces and classes around a declaration, "a::B::" - for names
// without a linkage name, such as those in anonymous namespaces.
std::string scopePrefix(Dwarf_Die *die)
{
    Dwarf_Die declaration = *die;
    Dwarf_Attribute attribute;
    // the abstract instance, then the in-class declaration: where the scopes are
    for (int reference : {DW_AT_abstract_origin, DW_AT_specification}) {
        Dwarf_Die target;
        if (dwarf_attr(&declaration, reference, &attribute) && dwarf_formref_die(&attribute, &target)) {
            declaration = target;
        }
    }
    Dwarf_Die *scopes = nullptr;
    const int count = dwarf_getscopes_die(&declaration, &scopes);
    std::string prefix;
    for (int i = count - 1; i > 0; --i) {
        const int tag = dwarf_tag(&scopes[i]);
        if (tag != DW_TAG_namespace && tag != DW_TAG_class_type && tag != DW_TAG_structure_type && tag != DW_TAG_union_type) {
            continue;
        }
        const char *name = dwarf_diename(&scopes[i]);
        prefix += name ? name : (tag == DW_TAG_namespace ? "(anonymous namespace)" : "(anonymous)");
        prefix += "::";
    }
    free(scopes);
    return prefix;
}

std::string dieName(Dwarf_Die *die)
{
    const char *linkage = attributeString(die, DW_AT_linkage_name);
    if (!linkage) {
        linkage = attributeString(die, DW_AT_MIPS_linkage_name);
    }
    if (linkage) {
        return demangle(linkage);
    }
    const char *name = attributeString(die, DW_AT_name);
    return name ? scopePrefix(die) + name : std::string();
}

bool isFunction(int tag)
{
    return tag == DW_TAG_subprogram || tag == DW_TAG_inlined_subroutine || tag == DW_TAG_entry_point;
}
}

std::string demangle(const char *name)
{
    if (name[0] != '_' || name[1] != 'Z') {
        return name;
    }
    int status = 0;
    char *demangled = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    if (status != 0 || !demangled) {
        return name;
    }
    std::string result(demangled);
    free(demangled);
    return result;
}

std::string normalizeFunctionName(std::string name)
{
    if (name.compare(0, 5, "__GI_") == 0) {
        name.erase(0, 5);
    }
    if (name == "__libc_start_main_impl") {
        return "__libc_start_main";
    }
    static const char staticInit[] = "__static_initialization_and_destruction_0";
    if (name.compare(0, sizeof(staticInit) - 1, staticInit) == 0 && name.size() > sizeof(staticInit) - 1 && name[sizeof(staticInit) - 1] == '(') {
        name.resize(sizeof(staticInit) - 1);
    }
    return name;
}

ModuleSymbols::ModuleSymbols(std::string path, uint64_t bias)
    : m_path(std::move(path))
    , m_bias(bias)
{
}

ModuleSymbols::~ModuleSymbols()
{
    if (m_dwfl) {
        dwfl_end(m_dwfl);
    }
}

bool ModuleSymbols::load()
{
    if (m_tried) {
        return m_module;
    }
    m_tried = true;
    if (m_path.empty() || m_path[0] != '/') {
        // [vdso] and friends: no file to read
        return false;
    }
    m_dwfl = dwfl_begin(&callbacks);
    if (!m_dwfl) {
        return false;
    }
    dwfl_report_begin(m_dwfl);
    m_module = dwfl_report_elf(m_dwfl, m_path.c_str(), m_path.c_str(), -1, m_bias, false);
    dwfl_report_end(m_dwfl, nullptr, nullptr);
    return m_module;
}

const char *ModuleSymbols::symbolAt(uint64_t address)
{
    if (!m_symbolsLoaded) {
        m_symbolsLoaded = true;
        struct Ranked {
            Symbol symbol;
            int rank;
        };
        std::vector<Ranked> all;
        const int count = dwfl_module_getsymtab(m_module);
        for (int i = 0; i < count; ++i) {
            GElf_Sym symbol;
            GElf_Addr start = 0;
            const char *name = dwfl_module_getsym_info(m_module, i, &symbol, &start, nullptr, nullptr, nullptr);
            const int type = GELF_ST_TYPE(symbol.st_info);
            if (!name || !*name || symbol.st_shndx == SHN_UNDEF || (type != STT_FUNC && type != STT_GNU_IFUNC)) {
                continue;
            }
            // of aliases at one address the global name is the one callers use
            const int binding = GELF_ST_BIND(symbol.st_info);
            const int rank = binding == STB_GLOBAL ? 0 : binding == STB_WEAK ? 1 : 2;
            all.push_back({{start, start + symbol.st_size, name}, rank});
        }
        std::sort(all.begin(), all.end(), [](const Ranked &a, const Ranked &b) {
            return a.symbol.start != b.symbol.start ? a.symbol.start < b.symbol.start : a.rank < b.rank;
        });
        m_symbols.reserve(all.size());
        for (const auto &entry : all) {
            if (m_symbols.empty() || m_symbols.back().start != entry.symbol.start) {
                m_symbols.push_back(entry.symbol);
            }
        }
    }
    auto it = std::upper_bound(m_symbols.begin(), m_symbols.end(), address, [](uint64_t value, const Symbol &symbol) {
        return value < symbol.start;
    });
    if (it == m_symbols.begin()) {
        return nullptr;
    }
    --it;
    // a symbol without a size covers everything up to the next one
    const bool inside = address < it->end || it->end == it->start;
    return inside ? it->name : nullptr;
}

void ModuleSymbols::resolve(uint64_t returnAddress, std::vector<SymbolFrame> *frames)
{
    frames->clear();
    if (!load() || returnAddress == 0) {
        return;
    }
    // the call instruction, not the one after it, which may belong to the
    // next line or even the next function
    const Dwarf_Addr address = returnAddress - 1;

    // the file and line of the address itself, for the innermost function
    SymbolFrame innermost;
    if (Dwfl_Line *line = dwfl_module_getsrc(m_module, address)) {
        int lineNumber = 0;
        if (const char *file = dwfl_lineinfo(line, nullptr, &lineNumber, nullptr, nullptr, nullptr)) {
            innermost.file = file;
            innermost.line = lineNumber;
        }
    }

    Dwarf_Addr bias = 0;
    Dwarf_Die *cu = dwfl_module_addrdie(m_module, address, &bias);
    Dwarf_Die *scopes = nullptr;
    const int scopeCount = cu ? dwarf_getscopes(cu, address - bias, &scopes) : 0;
    if (scopeCount > 0) {
        // The chain of DIE parents of the innermost scope: each inlined
        // instance sits inside the function it was inlined into.
        Dwarf_Die innermostDie = scopes[0];
        free(scopes);
        scopes = nullptr;
        const int chainLength = dwarf_getscopes_die(&innermostDie, &scopes);
        Dwarf_Files *files = nullptr;
        size_t fileCount = 0;
        if (dwarf_getsrcfiles(cu, &files, &fileCount) != 0) {
            files = nullptr;
        }
        std::string callFile = innermost.file;
        int callLine = innermost.line;
        for (int i = 0; i < chainLength; ++i) {
            Dwarf_Die *die = &scopes[i];
            const int tag = dwarf_tag(die);
            if (!isFunction(tag)) {
                continue;
            }
            SymbolFrame frame;
            if (tag != DW_TAG_inlined_subroutine && !attributeString(die, DW_AT_linkage_name)) {
                // the symbol table still has the argument types that DW_AT_name lacks
                const char *name = symbolAt(address);
                if (name && name[0] == '_' && name[1] == 'Z') {
                    frame.function = normalizeFunctionName(demangle(name));
                }
            }
            if (frame.function.empty()) {
                frame.function = normalizeFunctionName(dieName(die));
            }
            frame.file = callFile;
            frame.line = callLine;
            frames->push_back(std::move(frame));
            if (tag != DW_TAG_inlined_subroutine) {
                break;
            }
            // where this instance was inlined: the position in the next function out
            callFile.clear();
            callLine = 0;
            Dwarf_Attribute attribute;
            Dwarf_Word value = 0;
            if (files && dwarf_formudata(dwarf_attr(die, DW_AT_call_file, &attribute), &value) == 0) {
                if (const char *file = dwarf_filesrc(files, value, nullptr, nullptr)) {
                    callFile = file;
                }
            }
            if (dwarf_formudata(dwarf_attr(die, DW_AT_call_line, &attribute), &value) == 0) {
                callLine = int(value);
            }
        }
        free(scopes);
    }
    // a name-less DIE (or none at all, as in assembly) leaves the symbol table
    if (frames->empty() || frames->back().function.empty()) {
        if (const char *name = symbolAt(address)) {
            if (frames->empty()) {
                frames->push_back(std::move(innermost));
            }
            frames->back().function = normalizeFunctionName(demangle(name));
        }
    }
    // a frame without any name says nothing the module does not already say
    while (!frames->empty() && frames->back().function.empty()) {
        frames->pop_back();
    }
}
