#pragma once

// A D2xxApi decorator for bug reports: forwards every call to another backend
// and writes it to a text stream in the wire trace format (link/trace_format.h,
// docs/trace-format.md): the version line first, then one record per call with
// its start time since the trace began, its duration, its arguments, status and
// results, and every byte moved on the wire in both directions as hex.
// ReplayD2xx plays such a trace back. It changes nothing: arguments, results
// and timing of the inner backend pass through as they are.

#include <array>
#include <cstdint>
#include <iosfwd>
#include <string>

#include "link/d2xx.h"
#include "link/trace_format.h"

namespace vexo3 {

class Clock;

class TraceD2xx final : public D2xxApi {
 public:
  // inner, clock and out must outlive this object; times count from here.
  // The version line is written with the first call, so out may be opened
  // any time before that. Each call is flushed as it is written, so a trace
  // survives a crash of the program (a file cut inside a call still replays
  // up to that call).
  TraceD2xx(D2xxApi& inner, Clock& clock, std::ostream& out);

  VEXO3_D2XX_OVERRIDES;  // every call of D2xxApi (link/d2xx.h)

 private:
  // A record for a call that begins now, with the program's arguments.
  TraceCall Begin(D2xxCall fn, const std::array<uint32_t, 3>& args = {});
  // Stamps its duration, writes and flushes it; returns status.
  FT_STATUS End(TraceCall& call, FT_STATUS status);

  D2xxApi& inner_;
  Clock& clock_;
  std::ostream& out_;
  int64_t startUs_;
  bool versionWritten_ = false;
};

}  // namespace vexo3
