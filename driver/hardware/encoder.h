// Encoder bring-up (core reset, firmware download, I/O lines, receiver, and in its full
// form boot, configuration, preview and both H.264 streams) and the settings pass that
// sends only what an application changed since the last pass.
#pragma once

#include "platform/kernel/kernel.h"

class CDevice;

// The firmware file in the device-info directory.
#define ENCODER_FIRMWARE_FILE u"VORLIX.HD.HEX"

// A setting word: bit 27 (set by an application) or bit 31 marks it changed; the value
// is the rest.
#define SETTING_CHANGED_BITS 0x88000000u
#define SETTING_VALUE_BITS 0x77FFFFFFu

// Takes the encoder from any state to running (full) or to downloaded and wired (short).
// Returns the firmware download's result; without it no command is sent.
BOOLEAN VORLIX_EncoderBringUp(CDevice* Device, BOOLEAN CallerHoldsPinMutex, BOOLEAN Full);
// Sends the settings changed since the last pass; returns 1.
ULONG VORLIX_ApplySettings(CDevice* Device);
// The encoder core's reset (one pass, or two when the PCI revision's low nibble is 1 or
// more). Hardware stop runs it too.
VOID VORLIX_CoreResetSequence(CDevice* Device);

// Writes the local time (seconds since 1970-01-01 00:00:00) to the encoder's clock.
VOID VORLIX_WriteLocalTime(CDevice* Device);

// The frame-keep mask of a stream at source rate n: average mode when Average is non-zero
// (capped at n, or n / 2 on a double-rate input), else skip mode.
ULONGLONG VORLIX_FrameKeepMask(ULONG SourceRate, ULONG Average, ULONG Skip, BOOLEAN DoubleRate);
