#pragma once

#include "common/MyTypes.h"

#include <QString>
#include <QStringList>

// The pure rules of a one-shot command line: port, model and command from the first three
// arguments. The caller writes the record and does the rest.
namespace CmdLineParse {

// The record texts of a refused argument.
QString BadPortText();    // "（引数）第一引数不正"
QString BadModelText();   // "（引数）第二引数不正"
QString BadCommandText(); // "（引数）第三引数不正"

struct TResult {
    bool ok = false;
    // On success the whole command; after a refusal what was read before the failing
    // argument (the later fields keep their initial values).
    TCmdLineParams params;
    // The error record to write for a refusal; empty when the refusal leaves none.
    QString errorText;
    // A refusal of a command that names a real run the program cannot carry out (power on
    // model B): the process ends after the record instead of starting its window.
    bool endsProcess = false;
};

// One argument as the rules read it: every "/" removed, wherever it stands, and A to Z
// lower-cased (no other character changes case).
QString Normalise(const QString& argument);

// Reads arguments 0 to 2; any further ones are ignored. Fewer than three are refused
// without a record.
TResult Parse(const QStringList& arguments);

} // namespace CmdLineParse
