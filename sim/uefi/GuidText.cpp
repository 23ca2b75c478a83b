// Registry text form of a GUID: the trace's, so names and trace lines agree.
#include "GuidText.h"

#include "sim/core/TraceEvents.h"

namespace sim {

std::string GuidText(const EFI_GUID &g) { return TraceGuidText(g); }

} // namespace sim
