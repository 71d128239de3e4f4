// What the data operations need of the rest of the panel, so they run without devices or processes.
#pragma once

#include <QStringList>

// The HID side (the bridge implements it over Hid_Thread).
class DeviceSide
{
public:
    virtual ~DeviceSide() = default;
    virtual void releaseBusy() = 0;      // ends the HID thread's busy state
    virtual int currentDeviceType() = 0; // the current device record's type
};

// Starts a companion program (or the folder opener) detached: it outlives the panel.
class ProgramLauncher
{
public:
    virtual ~ProgramLauncher() = default;
    virtual bool startDetached(const QString &program, const QStringList &arguments = {}) = 0;
};

class DetachedProgramLauncher : public ProgramLauncher
{
public:
    bool startDetached(const QString &program, const QStringList &arguments = {}) override;
};
