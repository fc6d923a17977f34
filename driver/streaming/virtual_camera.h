// The virtual camera: a user-mode producer hands video frames and audio to the virtual
// capture pins through one named shared-memory section per channel and medium. Three
// command words of the custom properties 601 (video) and 602 (audio) drive it: 1 attaches
// the channel's section, 0 pushes what it holds into the virtual pin's queued buffers, 2
// detaches.
#pragma once

#include "driver/core/device.h"
#include "platform/kernel/kernel.h"

// The header at the start of each section, written by the producer; the driver only
// reads it. Little-endian. The description fields are only printed at attach.
#pragma pack(push, 1)
struct AV_VCAM_INFO {
  ULONG nVideoInfo0;     // 0x00 printed in hex at video attach (producers put the FourCC here)
  ULONG nVideoInfo1;     // 0x04 (width)
  ULONG nVideoInfo2;     // 0x08 (height)
  ULONG nVideoInfo3;     // 0x0C (bits per pixel)
  UCHAR reserved10[8];   // 0x10
  LONGLONG nVideoInfo4;  // 0x18 (frame interval, 100 ns)
  UCHAR reserved20[8];   // 0x20
  ULONG nAudioInfo0;     // 0x28 printed at audio attach (channels)
  ULONG nAudioInfo1;     // 0x2C (samples per second)
  ULONG nAudioInfo2;     // 0x30 (bits per sample)
  UCHAR reserved34[20];  // 0x34
  ULONG nDataSize;       // 0x48 valid payload bytes
  UCHAR reserved4C[4];   // 0x4C
};
#pragma pack(pop)
static_assert(sizeof(AV_VCAM_INFO) == 0x50, "the payload starts at 0x50");
static_assert(offsetof(AV_VCAM_INFO, nVideoInfo0) == 0x00);
static_assert(offsetof(AV_VCAM_INFO, nVideoInfo1) == 0x04);
static_assert(offsetof(AV_VCAM_INFO, nVideoInfo2) == 0x08);
static_assert(offsetof(AV_VCAM_INFO, nVideoInfo3) == 0x0C);
static_assert(offsetof(AV_VCAM_INFO, nVideoInfo4) == 0x18);
static_assert(offsetof(AV_VCAM_INFO, nAudioInfo0) == 0x28);
static_assert(offsetof(AV_VCAM_INFO, nAudioInfo1) == 0x2C);
static_assert(offsetof(AV_VCAM_INFO, nAudioInfo2) == 0x30);
static_assert(offsetof(AV_VCAM_INFO, nDataSize) == 0x48);
#define VCAM_PAYLOAD_OFFSET 0x50

// Command words of ids 601 and 602.
#define VCAM_COMMAND_PUSH 0
#define VCAM_COMMAND_ATTACH 1
#define VCAM_COMMAND_DETACH 2

// Pool tags: the section name while attaching, the audio carry store.
constexpr ULONG kVcamNameTag = MakePoolTag("Wdm ");
constexpr ULONG kVcamCarryTag = MakePoolTag("Wdm ");

// The pin slot both virtual pins take.
#define VCAM_PIN_SLOT 8

// Section names, formatted with the channel index of the filter that received the
// command (its channel, plus 4 when its stream-index word is above 7), two digits at
// least: "\BaseNamedObjects\DRAV.VCAM.V.SHARE.MEMORY.00".
#define VCAM_SECTION_PREFIX u"\\BaseNamedObjects\\DRAV.VCAM."
#define VCAM_SECTION_SUFFIX u".SHARE.MEMORY."
// The length of a medium's section name without its terminator; the name is written,
// null-terminated, into `pName` only when `nChars` is more than that.
ULONG VcamSectionName(int nMedium, ULONG nChannelIndex, PWCHAR pName, ULONG nChars);

// Locks `nLength` bytes at `pAddress` in the calling process for modify access and maps
// them into system space: STATUS_SUCCESS with both outputs set, else
// STATUS_INSUFFICIENT_RESOURCES with both null (nothing left allocated or locked).
NTSTATUS LockAndMapView(PVOID pAddress, ULONG nLength, PMDL* ppMdl, PVOID* ppSystemAddress);

// The command of a request on one medium. Serialised per medium; acts only while the
// virtual capture device is enabled. Runs at passive level in the requester's thread and
// process.
VOID VcamRunCommand(CDevice* pDevice, int nMedium, ULONG nCommand, ULONG nChannelIndex);

// The steps themselves (the caller holds the medium's lock).
VOID VcamAttach(CDevice* pDevice, int nMedium, ULONG nChannelIndex);
VOID VcamPushVideo(CDevice* pDevice);
VOID VcamPushAudio(CDevice* pDevice);
VOID VcamDetach(CDevice* pDevice, int nMedium);

// The medium's lock (set up with the device).
VOID VcamInitialize(CDevice* pDevice);
