/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    A minimal streaming JSON writer: the trees of real traces have millions of
    rows, so documents are written as they are produced, never built in memory.
    Integers are written exactly (no detour through double).
*/

#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <QString>

class JsonWriter
{
public:
    explicit JsonWriter(FILE *out);
    ~JsonWriter();

    JsonWriter(const JsonWriter &) = delete;
    JsonWriter &operator=(const JsonWriter &) = delete;

    void beginObject();
    void endObject();
    void beginArray();
    void endArray();
    // Names the next value inside an object.
    void key(const char *name);

    void value(const QString &string);
    void value(const char *string);
    void value(int64_t number);
    void value(uint64_t number);
    void value(int number)
    {
        value(static_cast<int64_t>(number));
    }
    void value(bool boolean);
    // Non-finite numbers, which JSON cannot hold, as null.
    void value(double number);
    void null();

    void flush();

private:
    void separate();
    void writeEscaped(const QByteArray &utf8);
    void append(const char *data, std::size_t size);
    void append(char c);

    FILE *m_out;
    std::string m_buffer;
    // per open container: whether a value was written already
    std::vector<bool> m_hasValue;
    bool m_afterKey = false;
};
