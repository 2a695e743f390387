#pragma once

#include <QString>
#include <QStringList>

// What `InCycler --help` and `InCycler --version` print. Either is recognised only as the one
// argument: with three or more the arguments are a command line, with fewer a normal start.
namespace Usage {

enum class TRequest { None, Help, Version };

TRequest Requested(const QStringList& arguments);

// The usage, naming the log's real path.
QString HelpText(const QString& logPath);
QString VersionText();

} // namespace Usage
