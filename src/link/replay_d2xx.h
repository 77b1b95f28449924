#pragma once

// A D2xxApi that plays a recorded wire trace (link/trace_format.h) back as
// the device: each call is answered with the status and results of the next
// call of the trace, on a virtual clock that jumps to the recorded times, so
// a 15 s update replays in well under a second. Each call the program makes,
// with its arguments and every byte it writes, is checked against the record.
//
// On the first difference the replay stops following the trace: from then on
// every call fails with FT_IO_ERROR (byte counts 0, the clock left alone) so
// the program winds down, and Report() says exactly where it left: the call
// number and the trace's line, the call the trace expected and the one the
// program made, and for written bytes the first differing byte with the bytes
// around it. A call after the last one of the trace (a trace cut short, e.g.
// by Ctrl-C) is reported as "trace ends here".

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "link/d2xx.h"
#include "link/trace_format.h"

namespace vexo3 {

class VirtualClock;

class ReplayD2xx final : public D2xxApi {
 public:
  // The status every call returns once the run has left the trace.
  static constexpr FT_STATUS kStatusAfterDivergence = FT_IO_ERROR;

  // clock must outlive this object; its time at construction is the trace's
  // time 0, and only this object and the program's own sleeps move it.
  ReplayD2xx(Trace trace, VirtualClock& clock);

  VEXO3_D2XX_OVERRIDES;  // every call of D2xxApi (link/d2xx.h)

  // The program has made its last call: calls of the trace it never made are
  // a divergence too. Returns Report().
  const std::string& Finish();
  // True once the run has left the trace (or ran past its end).
  bool Diverged() const { return !report_.empty(); }
  // Several lines, each ending in a line end; empty while the run follows
  // the trace.
  const std::string& Report() const { return report_; }
  // Calls answered from the trace so far.
  size_t CallsReplayed() const { return next_; }

 private:
  // The recorded call that answers `actual`, with the clock at its start; null
  // when the run has left the trace (the report then says why).
  const TraceCall* Answer(const TraceCall& actual);
  // Moves the clock to the end of the call just answered; returns its status.
  FT_STATUS Done(const TraceCall& recorded);
  // A call answered only by its status and number results: checks fn and
  // args, and on FT_OK stores the recorded results in `outs`, in order (none
  // where the program passed no place for one).
  template <class... Out>
  FT_STATUS Replay(D2xxCall fn, const std::array<uint32_t, 3>& args, Out*... outs);
  void Diverge(const std::string& report);

  Trace trace_;
  VirtualClock& clock_;
  int64_t baseUs_;
  size_t next_ = 0;
  std::string report_;
  int handleToken_ = 0;  // its address is the handle FT_Open hands out
};

}  // namespace vexo3
