// The SDI receiver's four-wire register port on bank B of the encoder board's GPIO
// lines, the receiver set-up of bring-up, and the SDI mode detection.
#pragma once

#include "platform/kernel/kernel.h"

class CDevice;

// Half-period of the receiver port, in 100 ns units (1 us).
#define RECEIVER_HALF_PERIOD 10

#define RECEIVER_REG_MODE 6
#define RECEIVER_REG_LINES 31
#define RECEIVER_REG_SD_LINES 33
#define RECEIVER_REG_RATE 34

// One 16-bit register write; returns 1.
ULONG VORLIX_WriteReceiverRegister(CDevice* Device, ULONG Address, ULONG Value, ULONG HalfPeriod);
// One 16-bit register read: whatever the data-in line carried (an absent receiver
// reads 0xFFFF).
ULONG VORLIX_ReadReceiverRegister(CDevice* Device, ULONG Address, ULONG HalfPeriod);

// Bring-up's three read-modify-writes: register 57 bits 0-1 := 01, register 512 bits
// 8-11 := 1010, register 1032 bits 8-15 := 0xAA.
VOID VORLIX_SetUpReceiver(CDevice* Device);

typedef struct _SDI_FORMAT {
  ULONG nWidth;
  ULONG nHeight;     // per field for the 540-line formats
  ULONG nFrameRate;  // the field rate for the 540-line formats
  ULONG bFractional;
} SDI_FORMAT, *PSDI_FORMAT;

// Translates the receiver's registers (6, 31, 33 and 34) into a format; width and height
// 0 when the mode code is not one the system knows.
VOID VORLIX_TranslateSdiMode(ULONG Reg6, ULONG Reg31, ULONG Reg33, ULONG Reg34, ULONG CompanyGorlund,
                             PSDI_FORMAT Format);
// Reads the receiver and translates; TRUE when an input format was found.
BOOLEAN VORLIX_DetectSdiMode(CDevice* Device, PSDI_FORMAT Format);
