// The encoder board over a device's life: hardware initialisation and stop, the power-up
// and power-down of capture streams, the audio input switch, and the bracket that stops
// the monitor thread around every other user of the board's buses.
#pragma once

#include "platform/kernel/kernel.h"

class CDevice;

// The picture file that replaces the built-in no-signal picture.
#define NO_SIGNAL_PICTURE_FILE u"NO.SIGNAL.BMP"

// Short bring-up, board identity from the EEPROM, no-signal picture, watchdog, monitor
// thread. STATUS_UNSUCCESSFUL on other board kinds and when the firmware download
// failed; the monitor thread runs in every case.
NTSTATUS VORLIX_HwInitialize(CDevice* Device);
// Stops the monitor thread (its bracket stays taken until the next initialisation) and
// resets the encoder core. The stream count, the encoder-running flag and the frame
// clocks stay as they are. Returns 0.
ULONG VORLIX_HwUninitialize(CDevice* Device);

// Counts a stream (unless Forced) and, for the first one or a return to full power,
// runs the full bring-up and starts the frame clocks; a later stream only gets the
// settings pass. Returns 0.
ULONG VORLIX_StreamPowerUp(CDevice* Device, BOOLEAN Forced);
// The last stream's power-down stops the frame clocks and the encoder's streams.
// Returns 0.
ULONG VORLIX_StreamPowerDown(CDevice* Device);

// The bracket around every user of the serial buses, the GPIO lines and the receiver
// other than the monitor thread: a stop takes the bracket (waiting for it) and ends the
// thread; the next start creates the thread again and gives the bracket back.
ULONG VORLIX_StopMonitorThread(CDevice* Device);
ULONG VORLIX_StartMonitorThread(CDevice* Device);

// Sets the audio select line to m_nAnalogCrossbarAudioInput (0 low, 1 high) and tells
// the encoder; the two further arguments are not read. Returns 0.
ULONG VORLIX_SetAudioInput(CDevice* Device, ULONG Reserved1, ULONG Reserved2);

// Ends both frame clocks, whatever runs of them (device stop calls it before the state
// block the clocks read goes away).
VOID VORLIX_StopFrameClocks(CDevice* Device);

// TRUE on the encoder board, the only kind whose registers the driver drives.
BOOLEAN VORLIX_IsEncoderBoard(CDevice* Device);
