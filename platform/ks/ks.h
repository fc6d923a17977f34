// Kernel Streaming as a minidriver sees it: one header per KS object, all of them here.
// (The host's side, the Plug and Play harness, the machine's controls and the
// application client, is in harness.h, host.h and client.h.)
#pragma once

#include "platform/ks/types.h"
#include "platform/ks/automation.h"
#include "platform/ks/media.h"
#include "platform/ks/bag.h"
#include "platform/ks/pin.h"
#include "platform/ks/filter.h"
#include "platform/ks/filter_factory.h"
#include "platform/ks/device.h"
#include "platform/ks/stream.h"
#include "platform/ks/property.h"
