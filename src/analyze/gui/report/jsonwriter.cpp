/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include "analyze/gui/report/jsonwriter.h"

#include <cmath>

#include <cstring>

namespace
{
constexpr std::size_t FLUSH_SIZE = 1 << 16;
}

JsonWriter::JsonWriter(FILE *out)
    : m_out(out)
{
    m_buffer.reserve(FLUSH_SIZE * 2);
}

JsonWriter::~JsonWriter()
{
    flush();
}

void JsonWriter::flush()
{
    if (!m_buffer.empty()) {
        fwrite(m_buffer.data(), 1, m_buffer.size(), m_out);
        m_buffer.clear();
    }
    fflush(m_out);
}

void JsonWriter::append(const char *data, std::size_t size)
{
    m_buffer.append(data, size);
    if (m_buffer.size() >= FLUSH_SIZE) {
        fwrite(m_buffer.data(), 1, m_buffer.size(), m_out);
        m_buffer.clear();
    }
}

void JsonWriter::append(char c)
{
    append(&c, 1);
}

void JsonWriter::separate()
{
    if (m_afterKey) {
        m_afterKey = false;
        return;
    }
    if (!m_hasValue.empty()) {
        if (m_hasValue.back()) {
            append(',');
        }
        m_hasValue.back() = true;
    }
}

void JsonWriter::beginObject()
{
    separate();
    append('{');
    m_hasValue.push_back(false);
}

void JsonWriter::endObject()
{
    m_hasValue.pop_back();
    append('}');
}

void JsonWriter::beginArray()
{
    separate();
    append('[');
    m_hasValue.push_back(false);
}

void JsonWriter::endArray()
{
    m_hasValue.pop_back();
    append(']');
}

void JsonWriter::key(const char *name)
{
    separate();
    append('"');
    append(name, strlen(name));
    append("\":", 2);
    m_afterKey = true;
}

void JsonWriter::writeEscaped(const QByteArray &utf8)
{
    append('"');
    for (const char c : utf8) {
        switch (c) {
        case '"':
            append("\\\"", 2);
            break;
        case '\\':
            append("\\\\", 2);
            break;
        case '\n':
            append("\\n", 2);
            break;
        case '\t':
            append("\\t", 2);
            break;
        case '\r':
            append("\\r", 2);
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                snprintf(escaped, sizeof(escaped), "\\u%04x", static_cast<unsigned>(c));
                append(escaped, 6);
            } else {
                append(c);
            }
        }
    }
    append('"');
}

void JsonWriter::value(const QString &string)
{
    separate();
    writeEscaped(string.toUtf8());
}

void JsonWriter::value(const char *string)
{
    separate();
    writeEscaped(QByteArray(string));
}

void JsonWriter::value(int64_t number)
{
    separate();
    char digits[24];
    const int length = snprintf(digits, sizeof(digits), "%lld", static_cast<long long>(number));
    append(digits, static_cast<std::size_t>(length));
}

void JsonWriter::value(double number)
{
    if (!std::isfinite(number)) {
        null();
        return;
    }
    separate();
    // ten significant digits: shortest enough for ratios, no binary noise
    char digits[32];
    const int length = snprintf(digits, sizeof(digits), "%.10g", number);
    append(digits, static_cast<std::size_t>(length));
}

void JsonWriter::value(uint64_t number)
{
    separate();
    char digits[24];
    const int length = snprintf(digits, sizeof(digits), "%llu", static_cast<unsigned long long>(number));
    append(digits, static_cast<std::size_t>(length));
}

void JsonWriter::value(bool boolean)
{
    separate();
    if (boolean) {
        append("true", 4);
    } else {
        append("false", 5);
    }
}

void JsonWriter::null()
{
    separate();
    append("null", 4);
}
