// The names of the stops the recording API reports, in one table: the
// result's `stop`, the names its watchers put on the stop list and the
// engine module's STOPS are all read from it.
#pragma once

#include <string_view>

#include "capture/result.h"

namespace velmar::capture {

struct StopName {
    Stop stop;
    const char *name;
};

// Every stop but Missing, which only the exact entry's sessions reach.
inline constexpr StopName stop_names[] = {
    {Stop::End, "end"},
    {Stop::Duration, "duration"},
    {Stop::Key, "key"},
    {Stop::Interrupt, "interrupt"},
    {Stop::Terminate, "terminate"},
    {Stop::DiskFull, "disk_full"},
    {Stop::SourceLost, "source_lost"},
    {Stop::Region, "region"},
    {Stop::NotOpened, "not_opened"},
};

// The stop's name; nullptr for Missing.
constexpr const char *stop_name(Stop stop) {
    for (const StopName &entry : stop_names)
        if (entry.stop == stop)
            return entry.name;
    return nullptr;
}

}  // namespace velmar::capture
