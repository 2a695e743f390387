#pragma once

#include "common/MyTypes.h"

#include <QString>
#include <QStringList>

#include <optional>

// The program's option forms, beside the one-shot's three bare arguments:
//
//   --rotate --port PORT --model MODEL --inputs LIST --every INTERVAL [--between START-END]
//            [--hidden]
//   --status PORT
//
// Read by QCommandLineParser ("--opt value" and "--opt=value"). A refusal is one line that
// names the option and what it takes; nothing else happens for it.
namespace ProgramOptions {

// Whether the arguments are an option form rather than a one-shot or a plain start: one of
// them is --rotate or --status.
bool IsOptionForm(const QStringList& arguments);

enum class TForm { Rotate, Status };

struct TResult {
    bool ok = false;
    bool help = false; // --help among the options: the usage, and nothing else
    TForm form = TForm::Rotate;
    TRotateParams rotate;
    int statusPort = 0;
    QString error; // why the arguments were refused, naming the option
};

// The arguments without the program's name.
TResult Parse(const QStringList& arguments);

// A port as the one-shot writes it (com05, /com05) or as the window lists it (COM5), any
// case; nothing for anything else, port 0 included.
std::optional<int> PortNumber(const QString& text);

// The settings in words, for the line that says the rotation has started:
// "RSX-24P, inputs 1,3, every 30 s, between 08:00:00 and 17:00:00".
QString Describe(const TRotateParams& params);

} // namespace ProgramOptions
