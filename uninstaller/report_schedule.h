// Interim worker of the window: reports the removal steps on a schedule instead of performing
// them; the removal steps themselves replace it. The schedule comes from the environment variable
// VARNELO_UNINSTALL_SCHEDULE, for example "files=100,shortcuts=200,registry=300,done=400"
// (milliseconds after the start; a step left out is never reported). Without it nothing is
// reported, so the window never claims a removal that did not happen.
#pragma once

namespace varnelo {

void RunReportSchedule(void* unused);

}  // namespace varnelo
