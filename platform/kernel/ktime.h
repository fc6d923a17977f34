// Time. Every routine here reads the machine's one clock, which is either the host's
// real time or a test clock that moves only when the test advances it.
//
// System time: 100 ns units since 1601-01-01 UTC. Interrupt time: 100 ns units since the
// machine started. The performance counter runs at 10 MHz, in step with interrupt time.
#pragma once

#include "platform/kernel/ntdef.h"

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
ULONGLONG KeQueryInterruptTime();
LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency);
// Ticks of KeQueryTimeIncrement() (156,250 x 100 ns) since the machine started.
VOID KeQueryTickCount(PLARGE_INTEGER TickCount);
ULONG KeQueryTimeIncrement();

VOID ExSystemTimeToLocalTime(PLARGE_INTEGER SystemTime, PLARGE_INTEGER LocalTime);
VOID ExLocalTimeToSystemTime(PLARGE_INTEGER LocalTime, PLARGE_INTEGER SystemTime);

typedef struct _TIME_FIELDS {
  CSHORT Year;          // 1601...
  CSHORT Month;         // 1..12
  CSHORT Day;           // 1..31
  CSHORT Hour;          // 0..23
  CSHORT Minute;        // 0..59
  CSHORT Second;        // 0..59
  CSHORT Milliseconds;  // 0..999
  CSHORT Weekday;       // 0..6 = Sunday..Saturday
} TIME_FIELDS, *PTIME_FIELDS;
static_assert(sizeof(TIME_FIELDS) == 16);

VOID RtlTimeToTimeFields(PLARGE_INTEGER Time, PTIME_FIELDS TimeFields);
// FALSE when a field is out of range; Weekday is ignored.
BOOLEAN RtlTimeFieldsToTime(PTIME_FIELDS TimeFields, PLARGE_INTEGER Time);
