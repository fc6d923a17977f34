// The encoder's command mailbox: nine 32-bit registers (a command number, seven
// arguments and a checksum) that the firmware processor latches when the command register
// is written, and the responses it announces by interrupt.
#pragma once

#include "platform/kernel/kernel.h"

class CDevice;

typedef struct _VENDOR_COMMAND {
  ULONG Command;
  ULONG Arg1;
  ULONG Arg2;
  ULONG Arg3;
  ULONG Arg4;
  ULONG Arg5;
  ULONG Arg6;
  ULONG Arg7;      // forced to 0 for every command but VENDOR_CMD_CONFIGURE
  ULONG Checksum;  // minus the sum of the other eight words
} VENDOR_COMMAND, *PVENDOR_COMMAND;
static_assert(sizeof(VENDOR_COMMAND) == 36);
static_assert(__builtin_offsetof(VENDOR_COMMAND, Arg1) == 4);
static_assert(__builtin_offsetof(VENDOR_COMMAND, Checksum) == 32);

// Commands.
#define VENDOR_CMD_PREVIEW_DONE 3
#define VENDOR_CMD_STREAM_DONE 4
#define VENDOR_CMD_START 7
#define VENDOR_CMD_STOP 8
#define VENDOR_CMD_FRAME_RATE 14
#define VENDOR_CMD_RESOLUTION 15
#define VENDOR_CMD_CONFIGURE 16
#define VENDOR_CMD_RATE_CONTROL 17
#define VENDOR_CMD_GOP 18
#define VENDOR_CMD_PREVIEW 19
#define VENDOR_CMD_OSD_TEXT 31
#define VENDOR_CMD_OSD_TIME 32
#define VENDOR_CMD_AUDIO_INPUT 36
#define VENDOR_CMD_BOOT 257

// Selectors in Arg1.
#define VENDOR_STREAM_SUB 0x200u
#define VENDOR_PATH_PREVIEW 0x80000000u

// The preview command that turns the preview off (a copy is sent: the send routine
// writes the checksum into the record).
inline constexpr VENDOR_COMMAND VENDOR_PREVIEW_OFF = {
    VENDOR_CMD_PREVIEW, 0x001E9E00u, 0, 0x0FFFFFFFu, 0xFFFFFFFFu, 0, 0, 0, 0};

// Configure selectors, in the order bring-up sends them.
#define CONFIG_BOARD 0x00
#define CONFIG_INPUT 0x01
#define CONFIG_SEL_2 0x02
#define CONFIG_STREAM 0x10  // 0x10, 0x11 main stream; 0x12, 0x13 sub stream
#define CONFIG_SEL_50 0x50
#define CONFIG_SEL_3 0x03
#define CONFIG_SEL_4 0x04
#define CONFIG_END 0xFF

// Response types (REG_RESP_TYPE).
#define RESP_STREAM_READY 1
#define RESP_PREVIEW_READY 2
#define RESP_CONFIGURE_DONE 16

// Frame-keep masks, sent high word first.
#define FRAME_KEEP_ALL 0x0FFFFFFFFFFFFFFFull
#define FRAME_KEEP_ODD 0x0AAAAAAAAAAAAAAAull

// Status reads before the mailbox counts as stuck, and the configure wait (100 ns units).
#define MAILBOX_BUSY_READS 1000
#define COMMAND_DONE_TIMEOUT 30000000LL

// Sends one command: TRUE when it was written, FALSE when the mailbox stayed busy (the
// command is lost). Arg7 (when forced) and Checksum are written back into the record.
// A configure command then waits up to 3 s for its configure-done response.
// Threads at passive level, or deferred procedure calls (not for configure commands).
BOOLEAN VORLIX_SendVendorCommand(CDevice* Device, PVENDOR_COMMAND Command);
// Waits up to 3 s for one release of the command semaphore; FALSE on a time-out.
BOOLEAN VORLIX_WaitCommandDone(CDevice* Device);
// VENDOR_CMD_RATE_CONTROL with only the quantiser (bit-rate field 0).
ULONG VORLIX_SetEncoderQp(CDevice* Device, BOOLEAN MainStream, ULONG Quantiser);
// Discards releases of the command semaphore that no waiter consumed. Done on the same
// object, never by re-initialising it, because a deferred procedure call on another
// processor may be releasing it at that moment.
VOID VORLIX_ResetCommandSemaphore(CDevice* Device);
