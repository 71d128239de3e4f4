// A base for device-stream doubles that stand in for the client side only: the operations of the
// transfer path answer STATUS_NOT_IMPLEMENTED (and every alternate setting is valid), so a double
// writes just the six client calls and what its tests need.
#pragma once

#include "driver/filters/audio_hal_interfaces.h"

class ClientSideCyclicControl : public ICyclicControl
{
public:
    NTSTATUS SelectAlternateSetting(UCHAR, StreamClientRecord *) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS FreeTransfers() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS AbortPipe() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS RecoverStream() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS SelectZeroBandwidth() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS RestartStream() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS SubmitTransfer() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS CompleteTransfer(PDEVICE_OBJECT, IRP *, IsoTransfer *) override
    {
        return STATUS_NOT_IMPLEMENTED;
    }
    void StreamThread() override {}
    NTSTATUS PrepareFormat(StreamClientRecord *, PULONG) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS ReleaseFormat() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS RunStream(ULONG, BOOLEAN) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS StopStream() override { return STATUS_NOT_IMPLEMENTED; }
    BOOLEAN IsAlternateSettingValid(UCHAR) override { return TRUE; }
};
