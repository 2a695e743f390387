#pragma once

#include "common/MyTypes.h"

#include <QString>
#include <QStringList>

#include <optional>

// The program's option forms, beside the one-shot's three bare arguments:
//
//   --rotate --port PORT --model MODEL --inputs LIST --every INTERVAL [--between START-END]
//            [--hidden]
//   --serve --port PORT --model MODEL [--hidden]
//   --status PORT
//
// Read by QCommandLineParser ("--opt value" and "--opt=value"). A refusal is one line that
// names the option and what it takes; nothing else happens for it.
namespace ProgramOptions {

// Whether the arguments are an option form rather than a one-shot or a plain start: one of
// them is --rotate, --serve or --status.
bool IsOptionForm(const QStringList& arguments);

// --rotate and --serve both fill the rotation's parameters; --serve's do not press 開始.
enum class TForm { Rotate, Serve, Status };

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

// The values of --inputs, --every and --between into params; otherwise the refusal, naming the
// option, with params as they were. Also for the same values sent through the owner's socket.
QString ReadInputs(const QString& text, TRotateParams* params);
QString ReadEvery(const QString& text, TRotateParams* params);
QString ReadBetween(const QString& text, TRotateParams* params);
// The same values written back as those options take them ("30s", "08:00:00-17:00:00").
QString EveryText(const TRotateParams& params);
QString BetweenText(const TRotateParams& params);

// The settings in words, for the line that says the rotation has started:
// "RSX-24P, inputs 1,3, every 30 s, between 08:00:00 and 17:00:00"; for --serve the model alone.
QString Describe(const TRotateParams& params);

} // namespace ProgramOptions
