// Product configuration: the board identities (custom property 0) on which the page
// behaves differently. The values are this build's; the simulated boards carry them.
#pragma once

#include "platform/win32/win32.h"

// Board families whose page never offers the encoder panel, compared after masking the
// identity with kBoardFamilyMask.
inline constexpr ULONG kBoardFamilyMask = 0xFFFF0FF0;
inline constexpr ULONG kNoEncoderFamilies[2] = {0x51300100, 0x51300200};
// Boards on which the page shows its first three tabs itself and returns to the panel
// chosen last when it is activated again.
inline constexpr ULONG kRememberPanelBoards[4] = {0x85010001, 0x85010002, 0x85020001, 0x85020002};
// The board whose driver version line carries the firmware version, and on which the
// status refresh offers every audio input and the mirror boxes.
inline constexpr ULONG kFirmwareBoard = 0x85010001;
