// Everything of platform/sync in one include.
#ifndef KAVEX_PLATFORM_SYNC_SYNC_H_
#define KAVEX_PLATFORM_SYNC_SYNC_H_

#include "platform/sync/apc.h"
#include "platform/sync/clock.h"
#include "platform/sync/event.h"
#include "platform/sync/handle.h"
#include "platform/sync/last_error.h"
#include "platform/sync/thread.h"
#include "platform/sync/wait.h"
#include "platform/sync/waitable_timer.h"

#endif  // KAVEX_PLATFORM_SYNC_SYNC_H_
