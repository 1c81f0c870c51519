/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    Tokenizer for the line-oriented trace format: one record character, a blank,
    then blank-separated lower-case hex numbers and strings.

    This is on the per-event hot path: numbers are parsed in place over the line
    (a view into the reader's block buffer, or one reused line buffer), nothing is
    allocated per field and no locale is involved.
*/

#pragma once

#include <array>
#include <cstdint>
#include <istream>
#include <string>
#include <string_view>
#include <type_traits>

#include "indices.h"

namespace LineReaderDetail
{
constexpr uint8_t HEX_BLANK = 16;
constexpr uint8_t HEX_INVALID = 17;

// value of every byte as a lower-case hex digit: one lookup instead of two range tests
constexpr std::array<uint8_t, 256> makeHexDigits()
{
    std::array<uint8_t, 256> digits = {};
    for (auto &digit : digits) {
        digit = HEX_INVALID;
    }
    for (int c = '0'; c <= '9'; ++c) {
        digits[static_cast<std::size_t>(c)] = static_cast<uint8_t>(c - '0');
    }
    for (int c = 'a'; c <= 'f'; ++c) {
        digits[static_cast<std::size_t>(c)] = static_cast<uint8_t>(c - 'a' + 10);
    }
    digits[' '] = HEX_BLANK;
    return digits;
}

inline constexpr std::array<uint8_t, 256> HEX_DIGITS = makeHexDigits();
}

class LineReader
{
public:
    LineReader();

    // Reads the next line (without its line feed) into the reader's own buffer.
    // Returns false without reading when the stream is no longer good. The final
    // call before the end of the stream may yield an empty line, which mode()
    // reports as a comment.
    bool getLine(std::istream &in)
    {
        if (!in.good()) {
            return false;
        }
        std::getline(in, m_buffer);
        setLine(m_buffer.data(), m_buffer.size());
        return true;
    }

    // Makes @p data the current line without copying it: the bytes must stay
    // valid until the next line is set.
    void setLine(const char *data, std::size_t size)
    {
        m_line = std::string_view(data, size);
        m_it = size > 2 ? 2 : size;
    }

    char mode() const
    {
        return m_line.empty() ? '#' : m_line.front();
    }

    std::string_view line() const
    {
        return m_line;
    }

    // The text after the record character and its blank; empty for lines of
    // one or two characters.
    std::string_view restOfLine() const
    {
        return m_line.size() > 2 ? m_line.substr(2) : std::string_view();
    }

    void setExpectedSizedStrings(bool expectSizedStrings)
    {
        m_expectSizedStrings = expectSizedStrings;
    }

    bool expectsSizedStrings() const
    {
        return m_expectSizedStrings;
    }

    bool operator>>(int64_t &hex)
    {
        return readHex(hex);
    }

    bool operator>>(uint64_t &hex)
    {
        return readHex(hex);
    }

    bool operator>>(uint32_t &hex)
    {
        return readHex(hex);
    }

    bool operator>>(int &hex)
    {
        return readHex(hex);
    }

    bool operator>>(std::string &str);

    // How many "unexpected non-hex char" reports this reader has written so far,
    // for a caller that counts the lines with such a number.
    uint64_t nonHexReports() const
    {
        return m_nonHexReports;
    }

    // Offset of the next field from the start of the line.
    std::size_t position() const
    {
        return m_it;
    }

private:
    template<typename T>
    bool readHex(T &hex)
    {
        const std::size_t size = m_line.size();
        if (m_it >= size) {
            return false;
        }
        const char *const begin = m_line.data();
        const char *it = begin + m_it;
        const char *const end = begin + size;
        // accumulate unsigned so that overlong numbers wrap instead of overflowing
        using Unsigned = std::make_unsigned_t<T>;
        Unsigned value = 0;
        while (it != end) {
            const auto digit = LineReaderDetail::HEX_DIGITS[static_cast<unsigned char>(*it)];
            if (digit < 16) {
                value = static_cast<Unsigned>(value * 16 + digit);
                ++it;
                continue;
            }
            if (digit == LineReaderDetail::HEX_BLANK) {
                ++it;
                break;
            }
            ++m_nonHexReports;
            reportNonHex(*it, static_cast<std::size_t>(it - begin));
            return false;
        }
        hex = static_cast<T>(value);
        m_it = static_cast<std::size_t>(it - begin);
        return true;
    }

    static void reportNonHex(char c, std::size_t offset);

    bool m_expectSizedStrings = false;
    uint64_t m_nonHexReports = 0;
    // the current line; points into m_buffer or into the caller's memory
    std::string_view m_line;
    std::size_t m_it = 0;
    std::string m_buffer;
};

template<typename Base>
bool operator>>(LineReader &reader, Index<Base> &index)
{
    return reader >> index.index;
}
