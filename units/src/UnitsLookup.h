#pragma once
// One lookup of kelvane-units on a worker thread of its own, waited for with a
// bound and, under --watch, until the watch is stopped.

#include "discovery/DeviceInfo.h"

#include <windows.h>

#include <cstdint>
#include <string>

namespace units {

enum class LookupEnd : uint32_t { Done, TimedOut, Stopped };

struct LookupOutcome {
    LookupEnd end = LookupEnd::Done;
    discovery::DeviceList devices;  // when Done: what discoverMotionUnitDevices found
    // When TimedOut: the pass the worker was still in.
    discovery::DeviceSource pass = discovery::DeviceSource::Service;
};

// Runs discoverMotionUnitDevices(devices, keepRejected) on a new worker thread
// and waits at most `timeoutMs` for it, or until `stop` (null: none) is set.
// A worker that is left then (TimedOut, Stopped) ends on its own: it touches
// only a block it holds a share of, and the discovery library's state. When no
// worker can be started, the lookup runs on the calling thread, unbounded.
LookupOutcome lookUp(bool keepRejected, DWORD timeoutMs, HANDLE stop);

// Logs a lookup given up after `timeoutMs` in `pass` and returns the line for
// standard error, which names the transport.
std::wstring lookupTimedOut(discovery::DeviceSource pass, DWORD timeoutMs);

}  // namespace units
