// The driver's GUID scheme. Every GUID the driver defines starts with the same ten bytes;
// the last six (bytes 10-15 in storage order) say what it names:
//   C0 34 5A 00 tt 1E   a template's filter reference GUID (tt: filter type code)
//   C0 34 dd 00 tt 1E   channel 1..99's filter (dd: the channel in two decimal digits)
//   C0 35 dd 00 tt 1E   channel 100..128's filter (dd: channel - 100, decimal digits)
//   C0 34 0n 00 tt 1E   virtual-capture filter number n (1..4), tt 0x0A or 0x0B
//   C0 34 5A 01 pp 1E   pin name and category (pp: pin code)
//   C0 3x dd 01 02 1E   a channel's own bridge pin (bytes 11 and 12 as for channels)
//   C0 34 5A 01 10 1E   the topology nodes' name
//   C0 34 5A 02 mm 1E   medium set (mm: medium code)
#pragma once

#include <array>

#include "platform/kernel/ntdef.h"

enum FilterTypeCode : UCHAR {
  FILTER_TYPE_DIGITAL_TUNER_A = 0x00,
  FILTER_TYPE_VIDEO = 0x02,
  FILTER_TYPE_AUDIO = 0x03,
  FILTER_TYPE_CROSSBAR = 0x04,
  FILTER_TYPE_TVTUNER = 0x05,
  FILTER_TYPE_TVAUDIO = 0x06,
  FILTER_TYPE_ENCODER = 0x07,
  FILTER_TYPE_VIRTUAL_VIDEO = 0x0A,
  FILTER_TYPE_VIRTUAL_AUDIO = 0x0B,
  FILTER_TYPE_DIGITAL_TUNER_B = 0x80,
};

enum PinCode : UCHAR {
  PIN_CODE_VIDEO_CAPTURE = 0x00,
  PIN_CODE_AUDIO_CAPTURE = 0x01,
  PIN_CODE_ANALOG_AUDIO_BRIDGE = 0x02,
  PIN_CODE_ENCODER_OUTPUT = 0x03,
  PIN_CODE_ENCODER_INPUT = 0x04,
  PIN_CODE_NODE_NAME = 0x10,
};

enum MediumCode : UCHAR {
  MEDIUM_CROSSBAR_VIDEO_OUT = 0x00,
  MEDIUM_CROSSBAR_AUDIO_OUT = 0x01,  // also the audio capture filters' bridge input
  MEDIUM_TUNER_VIDEO_OUT = 0x02,     // also the 7-pin crossbar's tuner-video input
  MEDIUM_TUNER_AUDIO_OUT = 0x03,     // also the TV audio filter's input
  MEDIUM_TVAUDIO_OUT = 0x04,         // also the 7-pin crossbar's tuner-audio input
  MEDIUM_ENCODER_INPUT = 0x07,
};

#define MAX_CHANNELS 128

constexpr GUID SchemeGuid(UCHAR b10, UCHAR b11, UCHAR b12, UCHAR b13, UCHAR b14, UCHAR b15) {
  return GUID{0x6F814BE9, 0x9AF6, 0x43CF, {0x92, 0x49, b10, b11, b12, b13, b14, b15}};
}

constexpr UCHAR DecimalDigits(ULONG value) { return (UCHAR)(((value / 10) % 10) << 4 | (value % 10)); }

// Bytes 11 and 12 of a channel's GUIDs, channel 1..128.
constexpr UCHAR ChannelByte11(ULONG channel) { return channel >= 100 ? 0x35 : 0x34; }
constexpr UCHAR ChannelByte12(ULONG channel) { return DecimalDigits(channel >= 100 ? channel - 100 : channel); }

constexpr GUID TemplateReferenceGuid(UCHAR typeCode) { return SchemeGuid(0xC0, 0x34, 0x5A, 0x00, typeCode, 0x1E); }
constexpr GUID ChannelReferenceGuid(ULONG channel, UCHAR typeCode) {
  return SchemeGuid(0xC0, ChannelByte11(channel), ChannelByte12(channel), 0x00, typeCode, 0x1E);
}
constexpr GUID VirtualCaptureGuid(ULONG number, UCHAR typeCode) {
  return SchemeGuid(0xC0, 0x34, (UCHAR)number, 0x00, typeCode, 0x1E);
}
constexpr GUID PinGuid(UCHAR pinCode) { return SchemeGuid(0xC0, 0x34, 0x5A, 0x01, pinCode, 0x1E); }
constexpr GUID BridgePinChannelGuid(ULONG channel) {
  return SchemeGuid(0xC0, ChannelByte11(channel), ChannelByte12(channel), 0x01, PIN_CODE_ANALOG_AUDIO_BRIDGE, 0x1E);
}
constexpr GUID NodeNameGuid() { return PinGuid(PIN_CODE_NODE_NAME); }
constexpr GUID MediumSetGuid(UCHAR mediumCode) { return SchemeGuid(0xC0, 0x34, 0x5A, 0x02, mediumCode, 0x1E); }

namespace guid_tables {
template <typename F>
constexpr std::array<GUID, MAX_CHANNELS> PerChannel(F make) {
  std::array<GUID, MAX_CHANNELS> table{};
  for (ULONG i = 0; i < MAX_CHANNELS; i++) table[i] = make(i + 1);
  return table;
}
constexpr std::array<GUID, 8> VirtualCapture() {
  std::array<GUID, 8> table{};
  for (ULONG n = 1; n <= 4; n++) {
    table[n - 1] = VirtualCaptureGuid(n, FILTER_TYPE_VIRTUAL_VIDEO);
    table[n + 3] = VirtualCaptureGuid(n, FILTER_TYPE_VIRTUAL_AUDIO);
  }
  return table;
}
}  // namespace guid_tables

// Reference GUIDs of channels 1..128 (entry i: channel index i).
inline constexpr std::array<GUID, MAX_CHANNELS> VideoChannelGuids =
    guid_tables::PerChannel([](ULONG c) { return ChannelReferenceGuid(c, FILTER_TYPE_VIDEO); });
inline constexpr std::array<GUID, MAX_CHANNELS> AudioChannelGuids =
    guid_tables::PerChannel([](ULONG c) { return ChannelReferenceGuid(c, FILTER_TYPE_AUDIO); });
// Numbers 1..4 of the virtual video filters, then of the virtual audio filters.
inline constexpr std::array<GUID, 8> VirtualCaptureGuids = guid_tables::VirtualCapture();
// Category and name of channel index i's own bridge pin.
inline constexpr std::array<GUID, MAX_CHANNELS> BridgePinChannelGuids =
    guid_tables::PerChannel([](ULONG c) { return BridgePinChannelGuid(c); });
// The two digital-tuner filter identities (no descriptor of this driver carries them).
inline constexpr std::array<GUID, 2> DigitalTunerGuids = {TemplateReferenceGuid(FILTER_TYPE_DIGITAL_TUNER_A),
                                                          TemplateReferenceGuid(FILTER_TYPE_DIGITAL_TUNER_B)};

// The stereo bridge pin's category.
inline constexpr GUID StereoBridgePinCategory = {
    0xD28A580A, 0x9B1F, 0x4B0C, {0x9C, 0x33, 0x9B, 0xF0, 0xA8, 0xEA, 0x63, 0x6B}};
// The driver's own property set.
inline constexpr GUID KSPROPSETID_CustomDevice = {
    0xD1E5209F, 0x68FD, 0x4529, {0xBE, 0xE0, 0x5E, 0x7A, 0x1F, 0x47, 0x92, 0x1E}};
