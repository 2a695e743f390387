#pragma once

#include "ModelState.h"

#include <QByteArray>

// The device model: the state the switcher last reported and its command set. A model
// holds no reference to the port; every command goes through mod_IF_ComPort.SendCmd.
// Operations a model lacks raise EAbstractError ("抽象エラー") and send nothing.
class TModel : public TModelState {
public:
    virtual ~TModel() = default;
    TModel(const TModel&) = delete;
    TModel& operator=(const TModel&) = delete;

    virtual int GetMaxSourceCount() const;
    virtual bool PowerOn();
    virtual bool PowerOff();
    virtual bool SetInputSourceNum(int a_InputSourceNum);
    virtual bool RequestPowerState();
    virtual bool RequestInputSourceNum();

protected:
    TModel() = default;
    static bool Send(const QByteArray& command);
};

// Model A, "RSX-24P".
class TRsx24p final : public TModel {
public:
    TRsx24p() = default;
    int GetMaxSourceCount() const override { return 3; }
    bool PowerOn() override;
    bool PowerOff() override;
    bool SetInputSourceNum(int a_InputSourceNum) override;
    bool RequestPowerState() override;
    bool RequestInputSourceNum() override;
};

// Model B, "RSX-24Q": no power commands.
class TRsx24q final : public TModel {
public:
    TRsx24q() = default;
    int GetMaxSourceCount() const override { return 3; }
    bool SetInputSourceNum(int a_InputSourceNum) override;
    bool RequestInputSourceNum() override;
};
