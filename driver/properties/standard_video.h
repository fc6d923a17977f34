// The standard video property sets of the video capture filter (picture controls, video
// control, video decoder, video compression) and of its capture pin (dropped frames).
// The handlers are CDevice members (driver/core/device.h); this header gives what the
// item tables and tests need besides them.
#pragma once

#include "driver/core/device.h"

// 525-line and 625-line classes of the analog video standard masks.
#define VIDEO_STANDARDS_525 0x00000A07u
#define VIDEO_STANDARDS_625 0x001FF5F0u

// Picture-control members by property id 0-9.
#define VIDEO_PROCAMP_PROPERTIES 10

// Runs after a picture-control set changed a value (channel, property id). The device
// applies picture controls when it next builds a frame, so the default does nothing;
// a test may install its own.
typedef NTSTATUS (*PFN_VIDEO_PROCAMP_APPLY)(CDevice* pDevice, ULONG nChannel, ULONG nPropertyId);
extern PFN_VIDEO_PROCAMP_APPLY VideoProcAmpApplyHook;
NTSTATUS VideoProcAmpApplyNothing(CDevice* pDevice, ULONG nChannel, ULONG nPropertyId);

// The published values of picture-control ids 0-4: a stepped range 0..255 and a default.
// The defaults are the plain load default (128) until a start of a board family with a
// set of its own writes that set into them (they are driver-wide, like the templates).
extern const KSPROPERTY_VALUES VideoProcAmpValues[5];
void InitializeVideoProcAmpValues();
void ReportVideoProcAmpDefaults(ULONG nSet);
LONG VideoProcAmpReportedDefault(ULONG nPropertyId);

// The board identity's fixed-rate models of BOARD_KIND_M (whole subsystem byte).
BOOLEAN IsFixedRateModelOfKindM(const PCI_IDENTITY* pIdentity);
