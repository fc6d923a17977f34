// Device start's driver-wide state and the record that decides a card's filters.
#pragma once

#include "driver/core/device_settings.h"
#include "driver/core/pci_base.h"

// The next card's instance number and first video and audio channel numbers: never
// decremented, so a card started again gets new ones.
extern ULONG NextDeviceInstance;
extern ULONG NextVideoChannel;
extern ULONG NextAudioChannel;
// Board indexes some cards keep a channel number for (0xFFFFFFFF: free).
#define BOARD_INDEX_SLOTS 32
extern ULONG BoardIndexSlots[BOARD_INDEX_SLOTS];
// Zero counters and free slots, as a load of the driver leaves them.
void ResetDeviceStartCounters();

struct BoardFeatureRecord {
  UCHAR bPerChannelCopies;  // 1: each channel its own descriptor copy and reference GUID
  UCHAR nVideoFilters;
  UCHAR bAnalogFrontEnd;  // register the pinless front-end filters
  UCHAR bEncoderFilter;
  UCHAR nAudioFilters;
};

// The record of an identity, with the adjustments of its kind and the settings.
BoardFeatureRecord ChooseBoardFeatureRecord(const PCI_IDENTITY* pIdentity, const CDeviceSettings& settings);
