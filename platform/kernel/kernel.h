// The kernel as the system's code sees it: everything the driver may call.
// (The machine's own controls for tests and harnesses are in machine.h.)
#pragma once

#include "platform/kernel/ntdef.h"
#include "platform/kernel/lists.h"
#include "platform/kernel/objects.h"
#include "platform/kernel/pool.h"
#include "platform/kernel/sync.h"
#include "platform/kernel/dpc.h"
#include "platform/kernel/thread.h"
#include "platform/kernel/ktime.h"
#include "platform/kernel/debug.h"
#include "platform/kernel/rtl.h"
#include "platform/kernel/files.h"
#include "platform/kernel/memory.h"
#include "platform/kernel/registry.h"
