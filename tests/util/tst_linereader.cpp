/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include <QTest>
#include <deque>

#include <initializer_list>

#include <cstdio>
#include <limits>
#include <sstream>
#include <string>

#include <unistd.h>

#include "util/linereader.h"

Q_DECLARE_METATYPE(std::string)

namespace
{
// The malformed-number diagnostic is the reader's only output, written with
// fprintf to fd 2; capture the descriptor itself, not the C++ stream.
class StderrRedirect
{
public:
    StderrRedirect()
        : m_file(std::tmpfile())
    {
        fflush(stderr);
        m_saved = dup(STDERR_FILENO);
        dup2(fileno(m_file), STDERR_FILENO);
    }

    ~StderrRedirect()
    {
        finish();
        fclose(m_file);
    }

    std::string finish()
    {
        if (m_saved >= 0) {
            fflush(stderr);
            dup2(m_saved, STDERR_FILENO);
            close(m_saved);
            m_saved = -1;
            std::rewind(m_file);
            char buffer[512];
            std::size_t read = 0;
            while ((read = std::fread(buffer, 1, sizeof(buffer), m_file)) > 0) {
                m_output.append(buffer, read);
            }
        }
        return m_output;
    }

private:
    std::FILE *m_file;
    int m_saved = -1;
    std::string m_output;
};

QStringList latin1List(std::initializer_list<const char *> items)
{
    QStringList result;
    for (const char *item : items) {
        result << QString::fromLatin1(item);
    }
    return result;
}

LineReader readerFor(const std::string &line)
{
    // the reader parses a view of the line: keep every text alive for the whole test run
    static std::deque<std::string> texts;
    texts.push_back(line);
    LineReader reader;
    reader.setLine(texts.back().data(), texts.back().size());
    return reader;
}
}

class TestLineReader : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void testGetLine_data()
    {
        QTest::addColumn<std::string>("input");
        QTest::addColumn<QStringList>("lines");

        // the empty line after a final line break is handed out once, as a comment
        QTest::newRow("final line break") << std::string("a 1\nb 2\n") << latin1List({"a 1", "b 2", ""});
        QTest::newRow("no final line break") << std::string("a 1\nb 2") << latin1List({"a 1", "b 2"});
        QTest::newRow("blank line inside") << std::string("a 1\n\nb 2") << latin1List({"a 1", "", "b 2"});
        QTest::newRow("empty stream") << std::string() << latin1List({""});
    }

    void testGetLine()
    {
        QFETCH(std::string, input);
        QFETCH(QStringList, lines);

        std::istringstream in(input);
        LineReader reader;
        QStringList read;
        while (reader.getLine(in)) {
            read << QString::fromStdString(std::string(reader.line()));
            if (reader.line().empty()) {
                QCOMPARE(reader.mode(), '#');
            } else {
                QCOMPARE(reader.mode(), reader.line().front());
            }
        }
        QCOMPARE(read, lines);
        // exhausted streams stay exhausted and do not touch the last line
        const std::string last(reader.line());
        QVERIFY(!reader.getLine(in));
        QCOMPARE(std::string(reader.line()), last);
    }

    void testGetLineResetsPosition()
    {
        std::istringstream in("+ 1 2\n- 3\n");
        LineReader reader;
        QVERIFY(reader.getLine(in));
        uint64_t value = 0;
        QVERIFY(reader >> value);
        QCOMPARE(value, uint64_t(1));
        QVERIFY(reader.getLine(in));
        QVERIFY(reader >> value);
        QCOMPARE(value, uint64_t(3));
        QVERIFY(!(reader >> value));
    }

    void testHexFields()
    {
        StderrRedirect capture;

        auto single = readerFor("x 1f");
        uint64_t value = 0;
        QVERIFY(single >> value);
        QCOMPARE(value, uint64_t(31));
        QVERIFY(!(single >> value));
        QCOMPARE(value, uint64_t(31));

        // a field that starts with a blank is an empty number
        auto blanks = readerFor("x  5");
        value = 7;
        QVERIFY(blanks >> value);
        QCOMPARE(value, uint64_t(0));
        QVERIFY(blanks >> value);
        QCOMPARE(value, uint64_t(5));
        QVERIFY(!(blanks >> value));

        auto several = readerFor("+ 0 abcdef 10 9");
        uint32_t a = 1;
        uint64_t b = 0;
        int64_t c = 0;
        int d = 0;
        QVERIFY(several >> a);
        QVERIFY(several >> b);
        QVERIFY(several >> c);
        QVERIFY(several >> d);
        QCOMPARE(a, 0u);
        QCOMPARE(b, uint64_t(0xabcdef));
        QCOMPARE(c, int64_t(16));
        QCOMPARE(d, 9);

        TraceIndex trace;
        auto index = readerFor("t 2a");
        QVERIFY(index >> trace);
        QCOMPARE(trace.index, 42u);

        QCOMPARE(capture.finish(), std::string());
    }

    void testTooShortLines_data()
    {
        QTest::addColumn<std::string>("line");
        QTest::newRow("record only") << std::string("c");
        QTest::newRow("record and blank") << std::string("c ");
        // the second character is the separator position, never a field
        QTest::newRow("digit in separator position") << std::string("c1");
        QTest::newRow("empty") << std::string();
    }

    void testTooShortLines()
    {
        QFETCH(std::string, line);

        StderrRedirect capture;
        for (bool sized : {false, true}) {
            auto reader = readerFor(line);
            reader.setExpectedSizedStrings(sized);
            int64_t i64 = 5;
            uint64_t u64 = 5;
            uint32_t u32 = 5;
            int i32 = 5;
            std::string str = "unchanged";
            QVERIFY(!(reader >> i64));
            QVERIFY(!(reader >> u64));
            QVERIFY(!(reader >> u32));
            QVERIFY(!(reader >> i32));
            QVERIFY(!(reader >> str));
            QCOMPARE(i64, int64_t(5));
            QCOMPARE(u64, uint64_t(5));
            QCOMPARE(u32, 5u);
            QCOMPARE(i32, 5);
            QCOMPARE(str, std::string("unchanged"));
        }
        QCOMPARE(capture.finish(), std::string());
    }

    void testNonHexCharacters_data()
    {
        QTest::addColumn<std::string>("line");
        QTest::addColumn<std::string>("message");

        QTest::newRow("upper case") << std::string("x 1F") << std::string("unexpected non-hex char: 70 3\n");
        QTest::newRow("sign") << std::string("x -1") << std::string("unexpected non-hex char: 45 2\n");
        QTest::newRow("hex offset") << std::string("x ") + std::string(30, '0') + "G" << std::string("unexpected non-hex char: 71 20\n");
        // plain char is signed: high bytes print negative
        QTest::newRow("high byte") << std::string("x 1\xc3") << std::string("unexpected non-hex char: -61 3\n");
        QTest::newRow("tab") << std::string("x 1\t2") << std::string("unexpected non-hex char: 9 3\n");
    }

    void testNonHexCharacters()
    {
        QFETCH(std::string, line);
        QFETCH(std::string, message);

        StderrRedirect capture;
        auto reader = readerFor(line);
        uint64_t value = 99;
        QVERIFY(!(reader >> value));
        QCOMPARE(value, uint64_t(99));
        QCOMPARE(reader.position(), std::size_t(2));
        QCOMPARE(capture.finish(), message);
    }

    void testWidthsAndWrapping()
    {
        int64_t i64 = 0;
        auto minusOne = readerFor("x ffffffffffffffff");
        QVERIFY(minusOne >> i64);
        QCOMPARE(i64, int64_t(-1));

        auto lowest = readerFor("x 8000000000000000");
        QVERIFY(lowest >> i64);
        QCOMPARE(i64, std::numeric_limits<int64_t>::min());

        int i32 = 0;
        auto minusTwo = readerFor("x fffffffe");
        QVERIFY(minusTwo >> i32);
        QCOMPARE(i32, -2);

        // more digits than the type holds: only the low digits survive
        uint64_t u64 = 0;
        auto long64 = readerFor("x 123456789abcdef0123");
        QVERIFY(long64 >> u64);
        QCOMPARE(u64, uint64_t(0x456789abcdef0123ull));
        auto long64b = readerFor("x 10000000000000001");
        QVERIFY(long64b >> u64);
        QCOMPARE(u64, uint64_t(1));

        uint32_t u32 = 0;
        auto long32 = readerFor("x 123456789 5");
        QVERIFY(long32 >> u32);
        QCOMPARE(u32, 0x23456789u);
        QVERIFY(long32 >> u32);
        QCOMPARE(u32, 5u);

        auto wrapInt = readerFor("x 100000007");
        QVERIFY(wrapInt >> i32);
        QCOMPARE(i32, 7);
    }

    void testSizedStrings()
    {
        StderrRedirect capture;
        auto reader = readerFor("s 5 a b c 3 xyz");
        reader.setExpectedSizedStrings(true);
        std::string str;
        QVERIFY(reader >> str);
        QCOMPARE(str, std::string("a b c"));
        QVERIFY(reader >> str);
        QCOMPARE(str, std::string("xyz"));
        QVERIFY(!(reader >> str));
        QCOMPARE(str, std::string("xyz"));

        auto tooLong = readerFor("s 9 abc");
        tooLong.setExpectedSizedStrings(true);
        str = "old";
        QVERIFY(!(tooLong >> str));
        QCOMPARE(str, std::string("old"));
        // the length field was consumed
        QCOMPARE(tooLong.position(), std::size_t(4));

        // an exact fit leaves nothing behind
        auto exact = readerFor("s 3 abc");
        exact.setExpectedSizedStrings(true);
        QVERIFY(exact >> str);
        QCOMPARE(str, std::string("abc"));
        uint64_t after = 0;
        QVERIFY(!(exact >> after));

        auto empty = readerFor("s 0");
        empty.setExpectedSizedStrings(true);
        QVERIFY(empty >> str);
        QCOMPARE(str, std::string());

        auto then = readerFor("s 2 ab 1f");
        then.setExpectedSizedStrings(true);
        QVERIFY(then >> str);
        QVERIFY(then >> after);
        QCOMPARE(after, uint64_t(31));

        QCOMPARE(capture.finish(), std::string());

        StderrRedirect badLength;
        auto bad = readerFor("s X abc");
        bad.setExpectedSizedStrings(true);
        str = "old";
        QVERIFY(!(bad >> str));
        QCOMPARE(str, std::string("old"));
        QCOMPARE(badLength.finish(), std::string("unexpected non-hex char: 88 2\n"));
    }

    void testPlainStrings()
    {
        auto reader = readerFor("s foo  bar");
        std::string str;
        QVERIFY(reader >> str);
        QCOMPARE(str, std::string("foo"));
        // a blank right after the separator is an empty field
        QVERIFY(!(reader >> str));
        QCOMPARE(str, std::string("foo"));

        auto words = readerFor("s one two");
        QVERIFY(words >> str);
        QVERIFY(words >> str);
        QCOMPARE(str, std::string("two"));
        QVERIFY(!(words >> str));
        QCOMPARE(str, std::string("two"));

        // without the length prefix form, a length is just another word
        auto prefixed = readerFor("s 3 a b");
        QVERIFY(prefixed >> str);
        QCOMPARE(str, std::string("3"));
        QVERIFY(prefixed >> str);
        QCOMPARE(str, std::string("a"));
    }
};

QTEST_GUILESS_MAIN(TestLineReader)

#include "tst_linereader.moc"
