#pragma once

#include <QList>
#include <QString>
#include <QTime>
#include <QtGlobal>

// The power state that the device last reported; psNone until it has reported one.
enum TPowerState : quint8 { psNone = 0, psPowerOff = 1, psPowerOn = 2 };

enum TMode_AutoSelectSource : quint8 { mdNone = 0, mdEveryTime = 1, mdSetTime = 2 };

// The switching settings as captured when switching starts. Times of day are fractions
// of a day (0.0 midnight, 0.5 noon); the interval is in milliseconds.
struct TAutoSelectSettingParam {
    qint64 Interval = 0;
    double StartTime = 0.0;
    double EndTime = 0.0;
    QList<int>* AutoSelectSource_List = nullptr; // owned by the controller
};

// The command line of a one-shot run, as parsed.
struct TCmdLineParams {
    int ComPortNum = 0;
    QString ModelStr;
    bool PowerFlag = false;
    int InputSourceNum = 0;
    QString CmdNameStr;
};

// A rotation started from the command line: the settings an operator makes in the window
// before pressing Start, as the window's controls take them.
struct TRotateParams {
    int ComPortNum = 0;
    int ModelIndex = 0;        // as the model list: 0 RSX-24P, 1 RSX-24Q
    QList<int> Inputs;         // ascending, each once
    int IntervalValue = 0;     // as the interval field
    int IntervalUnitIndex = 0; // as the unit list: 0 seconds, 1 minutes
    bool TimeWindow = false;   // the time-window mode; all day otherwise
    QTime StartTime;
    QTime EndTime;
    bool Hidden = false; // starts in the tray
    bool Start = true;   // presses 開始 once the port is open (--rotate); --serve only serves

    bool operator==(const TRotateParams&) const = default;
};
