// The two files from the device-info directory that feed the encoder board: the
// encoder firmware (a text file of hexadecimal words, streamed to the board in chunks of
// 256 words by host-to-board DMA) and the optional no-signal picture.
#pragma once

#include "platform/kernel/kernel.h"

class CDevice;

// One firmware record: eight hexadecimal digits (most significant first) and CR LF.
#define FIRMWARE_RECORD_SIZE 10
#define FIRMWARE_CHUNK_WORDS 256

// The no-signal picture: 320 x 240 packed 4:2:2 (Y0 U Y1 V), top-down.
#define NO_SIGNAL_WIDTH 320
#define NO_SIGNAL_HEIGHT 240
#define NO_SIGNAL_PICTURE_STEP (NO_SIGNAL_WIDTH * 2)
#define NO_SIGNAL_PICTURE_BYTES (NO_SIGNAL_PICTURE_STEP * NO_SIGNAL_HEIGHT)
// The picture file: a 54-byte header, then 320 x 240 pixels of blue, green, red and an
// ignored byte, bottom-up.
#define NO_SIGNAL_FILE_HEADER 54
#define NO_SIGNAL_FILE_STEP (NO_SIGNAL_WIDTH * 4)
#define NO_SIGNAL_PICTURE_FILE_SIZE 307254

// The driver-wide picture drawn when there is no input signal. The built-in content is
// drawn on first use; a successful VORLIX_DownloadLogoPictures replaces it.
PUCHAR VORLIX_NoSignalPicture();

// Decodes one record's eight digits ('0'-'9', 'a'-'f'; anything else gives a wrong word
// without error, as the file format has no check).
ULONG VORLIX_DecodeFirmwareRecord(const UCHAR* Record);

// Streams the firmware file to the board: TRUE when every chunk was confirmed. The
// caller's pin mutex (when the flag says it holds one) stays held throughout.
BOOLEAN VORLIX_DownloadFirmware(CDevice* Device, PCWSTR FileName, BOOLEAN CallerHoldsPinMutex);
// Loads the picture file into the no-signal picture: TRUE when it was read and converted.
BOOLEAN VORLIX_DownloadLogoPictures(CDevice* Device, PCWSTR FileName);
