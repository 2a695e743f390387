// The log trim's line rules on arbitrary file contents: the split, the CR LF join and the
// scanner that the trim feeds the file to piece by piece must agree with one another.

#include "FuzzCheck.h"
#include "FuzzPieces.h"

#include "log/LogRules.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

#include <cstdint>

using namespace LogRules;

namespace {

bool IsBreak(char c) {
    return c == '\r' || c == '\n';
}

// The split covers the content: each line starts where the break before it ends, holds no
// break itself, and the break between two lines is CR LF, a lone CR or a lone LF.
void CheckSplit(QByteArrayView content, const QList<QByteArrayView>& lines) {
    const char* const begin = content.data();
    qsizetype at = 0;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QByteArrayView line = lines[i];
        FUZZ_CHECK(line.data() == begin + at);
        for (const char c : line)
            FUZZ_CHECK(!IsBreak(c));
        at += line.size();
        FUZZ_CHECK(at < content.size() || i + 1 == lines.size());
        if (at == content.size())
            break;
        FUZZ_CHECK(IsBreak(content[at]));
        at += content.sliced(at).startsWith("\r\n") ? 2 : 1;
    }
    FUZZ_CHECK(at == content.size());
    FUZZ_CHECK(lines.isEmpty() == content.isEmpty());
}

QByteArray Joined(const QList<QByteArrayView>& lines) {
    QByteArray joined;
    for (const QByteArrayView line : lines) {
        joined.append(line);
        joined.append("\r\n");
    }
    return joined;
}

// Content that already has the rewritten form: CR LF after every line, no other break.
bool InRewrittenForm(QByteArrayView content) {
    if (!content.isEmpty() && !content.endsWith("\r\n"))
        return false;
    for (qsizetype i = 0; i < content.size(); ++i) {
        if (content[i] == '\n' && (i == 0 || content[i - 1] != '\r'))
            return false;
        if (content[i] == '\r' && (i + 1 == content.size() || content[i + 1] != '\n'))
            return false;
    }
    return true;
}

// Feeds the content in pieces of varied sizes, as the trim reads a file,
// and checks that the scanner finds the same lines and the start of the kept ones.
void CheckScanner(QByteArrayView content, const QList<QByteArrayView>& lines, qsizetype keep,
                  std::uint8_t cuts) {
    TLineScanner scanner(keep);
    TFuzzPieces pieces(cuts, 1 << 16);
    for (qsizetype fed = 0; fed < content.size();) {
        // Empty pieces too: a read may return nothing new.
        const qsizetype piece = qMin<qsizetype>(pieces.NextSize(0), content.size() - fed);
        scanner.Feed(content.sliced(fed, piece));
        fed += piece;
    }
    FUZZ_CHECK(scanner.Lines() == lines.size());

    const qint64 keptStart = scanner.KeptStart();
    FUZZ_CHECK(keptStart >= 0 && keptStart <= content.size());
    const qsizetype keptCount = qMin<qsizetype>(qMax<qsizetype>(keep, 0), lines.size());
    const QList<QByteArrayView> kept = lines.sliced(lines.size() - keptCount);
    if (lines.size() <= keep)
        FUZZ_CHECK(keptStart == 0);
    else if (kept.isEmpty())
        FUZZ_CHECK(keptStart == content.size());
    else
        FUZZ_CHECK(content.data() + keptStart == kept.front().data());

    // The trim rewrites what follows the kept start: those are exactly the kept lines.
    const QByteArray rewritten = JoinWithCrLf(content.sliced(keptStart));
    FUZZ_CHECK(rewritten == Joined(kept));
}

} // namespace

// The input: a byte choosing how many lines to keep (below 0xC0 a few, from -1 up, so that
// short contents exceed the limit; from 0xC0 on the real limit), a byte that seeds the sizes
// of the pieces the scanner is fed, then the file's content.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    auto at = [&](size_t i) -> std::uint8_t { return i < size ? data[i] : 0; };
    const qsizetype keep = at(0) >= 0xC0 ? MaxLines : at(0) % 42 - 1;
    const std::uint8_t cuts = at(1);
    const size_t header = 2;
    const QByteArray content = size > header
                                   ? QByteArray(reinterpret_cast<const char*>(data + header),
                                                static_cast<qsizetype>(size - header))
                                   : QByteArray();

    const QList<QByteArrayView> lines = SplitLines(content);
    CheckSplit(content, lines);

    const QByteArray joined = JoinWithCrLf(content);
    FUZZ_CHECK(joined == Joined(lines));
    FUZZ_CHECK(InRewrittenForm(joined));
    // Rewriting a rewritten file changes nothing, and neither does the split.
    FUZZ_CHECK(JoinWithCrLf(joined) == joined);
    const QList<QByteArrayView> again = SplitLines(joined);
    FUZZ_CHECK(again.size() == lines.size());
    for (qsizetype i = 0; i < lines.size(); ++i)
        FUZZ_CHECK(again[i] == lines[i]);
    if (InRewrittenForm(content))
        FUZZ_CHECK(joined == content);

    CheckScanner(content, lines, keep, cuts);
    return 0;
}
