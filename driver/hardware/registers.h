// Register access, the encoder board's register map, and the two bit-banged serial
// buses on its general-purpose I/O lines (bus A: identity EEPROM; bus B: the board
// microcontroller's watchdog), plus the hardware I2C controller of window 1 that one
// other board kind carries.
#pragma once

#include "driver/core/pci_base.h"
#include "platform/kernel/kernel.h"

// ---- Window 0 of the encoder board (byte offsets) --------------------------------------
#define REG_TIME_LOW 0x0040
#define REG_TIME_HIGH 0x0050
#define REG_BOOT_CONTROL 0x3400
#define REG_BOOT_PARAM0 0x3460
#define REG_BOOT_PARAM1 0x3470
#define REG_BOOT_PARAM2 0x3480
#define REG_BOOT_PARAM3 0x3490
#define REG_BOOT_PARAM4 0x34A0
#define REG_BOOT_HOLD0 0x35C0
#define REG_BOOT_HOLD1 0x3600
#define REG_CORE_PROBE0 0x3810
#define REG_CORE_PROBE1 0x3830
#define REG_CORE_CFG_A0 0x3850
#define REG_CORE_CFG_A1 0x3860
#define REG_CORE_CFG_A2 0x3870
#define REG_XDMA0_SELECT 0x38A0
#define REG_XDMA0_BURST 0x38C0
#define REG_XDMA1_SELECT 0x38E0
#define REG_XDMA1_BURST 0x3900
#define REG_XDMA1_STATUS 0x3910
#define REG_MBOX_STATUS 0x3920
#define REG_INT_STATUS 0x3930
#define REG_MBOX_ARG1 0x3950
#define REG_UDMA_BOARD_OFFSET 0x3960
#define REG_DMA_STATUS 0x3980
#define REG_UDMA_CONTROL 0x3990
#define REG_UDMA_SOURCE 0x39A0
#define REG_UDMA_HOST_ADDRESS 0x39B0
#define REG_UDMA_LENGTH 0x39C0
#define REG_UDMA_BURST 0x39D0
#define REG_DDMA_CONTROL 0x39E0
#define REG_DDMA_TARGET 0x39F0
#define REG_DDMA_HOST_ADDRESS 0x3A00
#define REG_DDMA_LENGTH 0x3A10
#define REG_DDMA_BURST 0x3A20
#define REG_MBOX_COMMAND 0x3A30
#define REG_RESP_TYPE 0x3A40
#define REG_RESP_WORD 0x3A50
#define REG_RESP_LENGTH 0x3A60
#define REG_CORE_CFG_C0 0x3AC0
#define REG_CORE_CFG_C1 0x3AD0
#define REG_CORE_CFG_B0 0x3B00
#define REG_CORE_CFG_B1 0x3B10
#define REG_CORE_CFG_B2 0x3B20
#define REG_CORE_CONTROL 0x3C20
#define REG_MBOX_ARG2 0x3C80
#define REG_MBOX_ARG3 0x3C90
#define REG_MBOX_ARG4 0x3CA0
#define REG_MBOX_ARG5 0x3CB0
#define REG_MBOX_ARG6 0x3D00
#define REG_MBOX_ARG7 0x3D10
#define REG_MBOX_CHECKSUM 0x3D20
#define REG_RESP_ACK 0x3D30
#define REG_RESP_TAG 0x3D80
#define REG_CORE_CFG_D 0x3DD0
#define REG_CORE_CFG_E0 0x3F80
#define REG_CORE_CFG_E1 0x3F90
#define REG_CORE_CFG_E2 0x3FA0
#define REG_CORE_CFG_E3 0x3FB0
#define REG_SYS_CONFIG0 0x5000
#define REG_SYS_CONFIG1 0x5010
#define REG_SYS_CONFIG2 0x5020
#define REG_SYS_RESET 0x5030
#define REG_SYS_RECOVER 0x5040
#define REG_SYS_READY 0x5060
#define REG_SYS_ENABLE 0x5070
#define REG_GPIO_B_INPUT 0x7080
#define REG_GPIO_A_INPUT 0x7090
#define REG_GPIO_B_OUTPUT 0x70C0
#define REG_GPIO_A_OUTPUT 0x70D0
#define REG_GPIO_B_DIRECTION 0x7100
#define REG_GPIO_A_DIRECTION 0x7110

// ---- Window 1 (the hardware I2C controller) --------------------------------------------
#define REG_I2C0_COMMAND 0x200000
#define REG_I2C0_STATUS 0x200004
#define REG_I2C0_DIVIDER 0x200008
#define REG_I2C0_DATA 0x20000C
#define REG_I2C1_COMMAND 0x300000
#define REG_I2C1_DIVIDER 0x300008
#define REG_I2C_MODE 0x700000

// ---- Interrupt status bits (REG_INT_STATUS) --------------------------------------------
#define INT_MAILBOX_RESPONSE 0x00010000u
#define INT_DMA_DONE 0x00040000u
#define INT_DMA_DONE_ALT 0x00080000u
#define INT_PCI_RESET_A 0x00100000u
#define INT_PCI_RESET_B 0x00200000u

// ---- General-purpose I/O lines ---------------------------------------------------------
#define GPIO_A_USER 0x000F0000u
#define GPIO_A_HD_SELECT 0x00100000u
#define GPIO_A_SCL 0x00200000u
#define GPIO_A_SDA 0x00400000u
#define GPIO_B_SCL 0x00000001u
#define GPIO_B_SDA 0x00000002u
#define GPIO_B_RCV_DIN 0x00000004u
#define GPIO_B_RCV_DOUT 0x00000008u
#define GPIO_B_RCV_CLK 0x00000010u
#define GPIO_B_RCV_CS 0x00000020u
#define GPIO_B_AUDIO_SELECT 0x00000080u

// ---- Serial bus devices ------------------------------------------------------------------
#define EEPROM_ADDRESS_WRITE 0xA0
#define EEPROM_ADDRESS_READ 0xA1
#define MCU_ADDRESS_WRITE 0xA2
#define MCU_REG_WDT_ARM 16
#define MCU_REG_WDT_DURATION 17
#define MCU_REG_WDT_KICK 18
#define MCU_WDT_MAGIC 0x5A

// Half-periods of the bit-banged buses, in 100 ns units.
#define HALF_PERIOD_STANDARD 125
#define HALF_PERIOD_FAST 64

// The board identity record at EEPROM address 0.
typedef struct _BOARD_ID_RECORD {
  UCHAR nSubsystemVendorIdLow;
  UCHAR nSubsystemVendorIdHigh;
  UCHAR nSubsystemIdLow;
  UCHAR nSubsystemIdHigh;
} BOARD_ID_RECORD, *PBOARD_ID_RECORD;
static_assert(sizeof(BOARD_ID_RECORD) == 4);

// ---- Register routines ---------------------------------------------------------------------
// An access outside a mapped window (no mapping, or offset + width past the window's
// length) is refused: reads give 0, writes store nothing and answer FALSE.

// Width 4: the 32-bit register at window 0 + index x 4; width 1: its low byte; else 0.
ULONG VORLIX_ReadRegister(CPCIBaseDevice* Device, ULONG Index, ULONG Width);
// As above; every write is followed by a full memory fence.
BOOLEAN VORLIX_WriteRegister(CPCIBaseDevice* Device, ULONG Index, ULONG Value, ULONG Width);
// Any window 0..3, at a byte offset.
BOOLEAN VORLIX_WriteBarRegister(CPCIBaseDevice* Device, ULONG Window, ULONG Offset, ULONG Value, ULONG Width);
// Four bytes from a device behind I2C controller 0 of window 1, the first received in
// bits 24-31; 0 on any failure.
ULONG VORLIX_ReadI2cDword(CPCIBaseDevice* Device, UCHAR Address, UCHAR Register);

// ---- Bus A (EEPROM): bank A bits 21 (clock) and 22 (data) ---------------------------------
ULONG VORLIX_I2cStart(CPCIBaseDevice* Device, ULONG HalfPeriod);
ULONG VORLIX_I2cStop(CPCIBaseDevice* Device, ULONG HalfPeriod);
ULONG VORLIX_I2cReadBit(CPCIBaseDevice* Device, ULONG HalfPeriod);
ULONG VORLIX_I2cSendAck(CPCIBaseDevice* Device, ULONG Bit, ULONG HalfPeriod);
BOOLEAN VORLIX_I2cWriteByte(CPCIBaseDevice* Device, UCHAR Byte, ULONG HalfPeriod);
UCHAR VORLIX_I2cReadByte(CPCIBaseDevice* Device, ULONG AckBit, ULONG HalfPeriod);

// ---- Bus B (microcontroller): bank B bits 0 (clock) and 1 (data) ---------------------------
ULONG VORLIX_McuStart(CPCIBaseDevice* Device, ULONG HalfPeriod);
ULONG VORLIX_McuStop(CPCIBaseDevice* Device, ULONG HalfPeriod);
BOOLEAN VORLIX_McuReadAck(CPCIBaseDevice* Device, ULONG HalfPeriod);
ULONG VORLIX_McuSendAck(CPCIBaseDevice* Device, ULONG Bit, ULONG HalfPeriod);
BOOLEAN VORLIX_McuWriteByte(CPCIBaseDevice* Device, UCHAR Byte, ULONG HalfPeriod);
UCHAR VORLIX_McuReadByte(CPCIBaseDevice* Device, ULONG AckBit, ULONG HalfPeriod);

// ---- Transactions ------------------------------------------------------------------------
// Identity read (bus A, standard half-period): dummy write of address 0, then four bytes,
// the last answered with a not-acknowledge. Returns FALSE when the EEPROM did not
// acknowledge its address (the record then holds what the bus gave: 0xFF bytes).
BOOLEAN VORLIX_ReadBoardIdentity(CPCIBaseDevice* Device, PBOARD_ID_RECORD Record);
// Identity write (bus A, fast half-period); the caller sleeps 10 ms afterwards.
BOOLEAN VORLIX_WriteBoardIdentity(CPCIBaseDevice* Device, const BOARD_ID_RECORD* Record);
// One microcontroller register (bus B, standard half-period).
BOOLEAN VORLIX_WriteMcuRegister(CPCIBaseDevice* Device, UCHAR Register, UCHAR Value);

// The busy wait every bus step ends with: strictly more than HalfPeriod 100 ns units of
// the performance counter.
VOID VORLIX_HalfPeriodWait(ULONG HalfPeriod);
