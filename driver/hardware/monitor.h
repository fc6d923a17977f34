// The three system threads that keep the encoder board in step with its input: the
// monitor (receiver polls, encoder restarts on a format change, the settings pass, the
// encoder's clock and the microcontroller's watchdog) and the two frame clocks that
// complete timed buffers while the board has nothing to send.
#pragma once

#include "platform/kernel/kernel.h"

class CDevice;

// Thread routines; each ends when its stop request is set (m_bMonitorThreadStop,
// m_bFrameClockStop [0] for the video clock, [1] for the audio clock).
VOID VORLIX_MonitorThread(PVOID Context);
VOID VORLIX_VideoClockThread(PVOID Context);
VOID VORLIX_AudioClockThread(PVOID Context);

// The audio select line pulsed for 100 ms, ending at the selected input's level (input 0
// low, 1 high; any other input: nothing).
VOID VORLIX_AudioSelectPulse(CDevice* Device);

// The priority the three threads run at.
#define VORLIX_THREAD_PRIORITY 16

// The audio frame clock's rate for a sample rate (44,100, 32,000, else 48,000), and its
// period in 100 ns units: 324 samples.
ULONG VORLIX_AudioClockRate(ULONG SampleRate);
