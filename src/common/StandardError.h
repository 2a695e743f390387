#pragma once

#include <QString>

// One line for the operator on standard error, "InCycler: " and the text: what a failure
// says where no window shows it (a scheduled run, a log that cannot take a record). Written
// and flushed at once, so that it stands before whatever the process does next.
void SayOnStandardError(const QString& text);
// The same, but a text already said by this process is not said again: for what would
// otherwise repeat at every retry or record (a stranger's lock file, a log held by another).
void SayOnceOnStandardError(const QString& text);

// The name the lines begin with, "InCycler" unless another program of the package says its own.
void SetStandardErrorName(const QString& programName);
