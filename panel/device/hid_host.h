// What the HID transport needs of its owner. Called on the GUI thread only.
#pragma once

class HidHost
{
public:
    virtual ~HidHost() = default;
    // The "mouse/isGun" setting: a gun mouse takes one stage report, others four.
    virtual bool mouseIsGun() const = 0;
    // A headset status report arrived (byte 1 of the report).
    virtual void headsetStatus(unsigned char status) = 0;
};
